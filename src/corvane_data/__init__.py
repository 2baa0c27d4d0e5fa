"""Tools around :class:`corvane.NeighborSampler`: from tables to the sampler's arrays.

The ``corvane`` module stays one class; everything a pipeline needs around it
lives here, in plain Python over numpy.
"""

from corvane_data.tables import GraphArrays, build_graph

__all__ = ["GraphArrays", "build_graph"]
