"""A small temporal graph of users and items, sampled two hops around two users.

Run with `make demo`. Each edge type is stored by destination: the column of a
destination node lists its source neighbours, ordered by the sources' times.
"""

import numpy as np

import corvane

node_types = ["user", "item"]
edge_types = [("item", "bought_by", "user"), ("user", "bought", "item")]

# user u bought the items in column u (ordered by the items' times), and
# item i was bought by the users in column i (ordered by the users' times).
colptr = {
    "item__bought_by__user": np.array([0, 3, 5, 6]),     # over users 0..2
    "user__bought__item": np.array([0, 2, 3, 5, 6]),     # over items 0..3
}
row = {
    "item__bought_by__user": np.array([0, 1, 3, 1, 2, 3]),
    "user__bought__item": np.array([0, 1, 0, 1, 2, 0]),
}
node_time = {
    "user": np.array([10, 20, 30]),
    "item": np.array([5, 15, 25, 35]),
}

sampler = corvane.NeighborSampler(node_types, edge_types, colptr, row, node_time, seed=42)

rows, cols, nodes, batches, num_nodes, num_edges = sampler.sample(
    num_neighbors={"item__bought_by__user": np.array([2, 2]),
                   "user__bought__item": np.array([2, 2])},
    sampling_time_offsets={},
    entity_table="user",
    seed_node=np.array([0, 2]),
    seed_time=np.array([30, 40]),  # each seed's tree only sees the past of its seed time
)

for node_type in node_types:
    print(f"{node_type:5} nodes  {nodes[node_type].tolist()}  seeds {batches[node_type].tolist()}"
          f"  per hop {num_nodes[node_type].tolist()}")
for key in rows:
    edges = list(zip(rows[key].tolist(), cols[key].tolist()))
    print(f"{key:22} edges (source local, destination local) {edges}  per hop {num_edges[key].tolist()}")
