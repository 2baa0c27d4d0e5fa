"""Tools around :class:`corvane.NeighborSampler`: from tables to mini-batches a GNN consumes.

The ``corvane`` module stays one class; everything a pipeline needs around it
lives here, in plain Python over numpy:

- :func:`build_graph`: node counts and edge tables (numpy, pandas, pyarrow) to
  the sampler's arrays, as a :class:`GraphArrays`;
- :class:`Database`: tables with primary keys of any kind, foreign keys, link
  tables and datetime columns to the same, keeping each node type's
  :class:`KeyMap` (times: :mod:`corvane_data.times`);
- :func:`check_graph` / :func:`find_faults`: a full, linear check of those arrays;
- :func:`save_graph` / :func:`load_graph`: a graph as a folder of ``.npy`` files;
- :class:`NodeTask` / :class:`LinkTask`: a training table (keys or key pairs,
  times, labels) and its cuts by time;
- :class:`SeedLoader`: seeds in batches, sampled here or in worker processes,
  as :class:`MiniBatch` objects; :class:`LinkLoader`: pairs with negatives,
  as :class:`LinkBatch` objects, on the same workers;
- :mod:`corvane_data.dask`: the same workers as actors on a Dask cluster.
"""

from importlib.metadata import version

from corvane_data.batches import LinkBatch, MiniBatch
from corvane_data.check import GraphCheckError, GraphFault, check_graph, find_faults
from corvane_data.database import BuildReport, Database
from corvane_data.keys import KeyMap
from corvane_data.links import LinkLoader
from corvane_data.loader import SeedLoader
from corvane_data.sampling import BatchSampler, derived_seed, sampling_request
from corvane_data.storage import load_graph, save_graph
from corvane_data.tables import GraphArrays, build_graph, edge_type_key
from corvane_data.tasks import LinkTask, NodeTask

__version__ = version("corvane")  # written once, in pyproject.toml

__all__ = ["BatchSampler", "BuildReport", "Database", "GraphArrays", "GraphCheckError", "GraphFault",
           "KeyMap", "LinkBatch", "LinkLoader", "LinkTask", "MiniBatch", "NodeTask", "SeedLoader", "build_graph", "check_graph", "derived_seed",
           "edge_type_key", "find_faults", "load_graph", "sampling_request", "save_graph"]
