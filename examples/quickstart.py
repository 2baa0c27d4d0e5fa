"""Builds a small paper/author graph and samples two hops around one paper."""

import numpy as np

import corvane

node_types = ["paper", "author"]
edge_types = [("author", "writes", "paper"), ("paper", "written_by", "author")]
colptr = {
    "author__writes__paper": np.array([0, 2, 4]),        # over papers
    "paper__written_by__author": np.array([0, 1, 3, 4]),  # over authors
}
row = {
    "author__writes__paper": np.array([0, 1, 1, 2]),
    "paper__written_by__author": np.array([0, 0, 1, 1]),
}
sampler = corvane.NeighborSampler(node_types, edge_types, colptr, row, node_time={}, seed=7)
print(sampler)
