"""A plain-Python model of corvane's sampling rules.

`ModelSampler` has the constructor and the `sample` method of
`corvane.NeighborSampler` and follows the same rules step by step, on plain
Python lists and ints, so that the differential tests can compare the native
module with it call by call.  Results come back as the same tuple of six dicts,
holding Python lists instead of int64 arrays.

Errors are raised at the same point as in the module, with the same exception
type.  `SamplerError` carries a message whose exact text belongs to the
module's interface; `IdRangeError` reports an id or offset that lies outside
its array, whose wording is free.
"""

import numpy as np

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UNSORTED_MESSAGE = "Found invalid non-sorted temporal neighborhood"


class SamplerError(RuntimeError):
    """A failure whose message text is fixed by the module's interface."""


class IdRangeError(RuntimeError):
    """A node id or column offset that lies outside the array it indexes."""


# ---------------------------------------------------------------------------
# Random engine: the 32-bit Mersenne Twister.


class MT19937:
    """MT19937 seeded by a single 32-bit integer."""

    N = 624
    M = 397
    MATRIX_A = 0x9908B0DF
    UPPER_MASK = 0x80000000
    LOWER_MASK = 0x7FFFFFFF

    def __init__(self, seed):
        seed &= 0xFFFFFFFF  # a signed seed is taken as its two's-complement bits
        self.state = [seed]
        for i in range(1, self.N):
            previous = self.state[i - 1]
            self.state.append((1812433253 * (previous ^ (previous >> 30)) + i) & 0xFFFFFFFF)
        self.position = self.N  # the first draw regenerates the whole state

    def _regenerate(self):
        mt = self.state
        for i in range(self.N):
            y = (mt[i] & self.UPPER_MASK) | (mt[(i + 1) % self.N] & self.LOWER_MASK)
            value = mt[(i + self.M) % self.N] ^ (y >> 1)
            if y & 1:
                value ^= self.MATRIX_A
            mt[i] = value
        self.position = 0

    def next(self):
        """The next 32-bit output."""
        if self.position >= self.N:
            self._regenerate()
        y = self.state[self.position]
        self.position += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y

    def below(self, bound):
        """One draw reduced below `bound`; no rejection of biased values."""
        return self.next() % bound


# ---------------------------------------------------------------------------
# Checks of dictionaries of arrays and of single arrays.


def edge_type_key(edge_type):
    source, relation, destination = edge_type
    return source + "__" + relation + "__" + destination


def _is_int64(array):
    return array.dtype.kind == "i" and array.dtype.itemsize == 8


def validate_array_dict(arrays, name, allowed_keys, expected_ndim, require_int64):
    """Check every entry, in the dictionary's order; the first fault raises."""
    for key, value in arrays.items():
        key_text = str(key)
        if key_text not in allowed_keys:
            raise SamplerError(f"Invalid type '{key_text}' found in {name}.")
        validate_array(np.asarray(value), f"Type '{key_text}' in {name}", expected_ndim, require_int64)


def validate_array(array, name, expected_ndim, require_int64):
    """One array, reported under `name` (a dictionary entry's own prefix, or the argument)."""
    if array.ndim != expected_ndim:
        raise SamplerError(f"{name} is not {expected_ndim}D.")
    if array.size == 0:
        return
    if require_int64 and not _is_int64(array):
        raise SamplerError(f"{name} must have dtype int64.")


def as_int64(value):
    """Convert one offset the way the binding converts a Python number."""
    if value is None or isinstance(value, float) or not isinstance(value, (int, np.integer)):
        raise RuntimeError(f"Unable to cast {type(value).__name__} to a 64-bit integer")
    value = int(value)
    if not INT64_MIN <= value <= INT64_MAX:
        raise RuntimeError(f"Unable to cast {value} to a 64-bit integer")
    return value


def _int_list(value):
    return [int(v) for v in np.asarray(value).tolist()]


# ---------------------------------------------------------------------------
# The sampler.


class ModelSampler:
    """Holds a heterogeneous graph and samples one batch of seeds per call."""

    def __init__(self, node_types, edge_types, colptr, row, node_time, seed=123):
        if isinstance(seed, float) or not -(2**31) <= int(seed) < 2**31:
            raise TypeError("seed must be a signed 32-bit integer")
        if not isinstance(node_time, dict):
            node_time = dict(node_time)

        self.node_types = list(node_types)
        self.edge_types = [tuple(edge_type) for edge_type in edge_types]
        self.edge_type_keys = [edge_type_key(edge_type) for edge_type in self.edge_types]
        self._reject_shared_keys()

        validate_array_dict(colptr, "colptr", self.edge_type_keys, 1, True)
        validate_array_dict(row, "row", self.edge_type_keys, 1, True)
        self.has_node_time = len(node_time) > 0
        validate_array_dict(node_time, "node_time", self.node_types, 1, True)

        # Copies of the arrays, keyed like the module's data maps.
        self.colptr = {}
        self.row = {}
        for key in self.edge_type_keys:
            self.colptr[key] = _int_list(colptr[key])
            self.row[key] = _int_list(row[key])
        self.node_time = {}
        for node_type in self.node_types:
            if node_type in node_time:
                self.node_time[node_type] = _int_list(node_time[node_type])

        self.generator = MT19937(int(seed))

    def _reject_shared_keys(self):
        """Two different edge types whose keys coincide would share all their data."""
        first_with_key = {}
        for edge_type, key in zip(self.edge_types, self.edge_type_keys):
            earlier = first_with_key.setdefault(key, edge_type)
            if earlier != edge_type:
                raise SamplerError(
                    f"Edge types {_triple_text(earlier)} and {_triple_text(edge_type)} "
                    f"share the key '{key}'."
                )

    # -- request checks -----------------------------------------------------

    def _check_request(self, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time):
        validate_array_dict(num_neighbors, "num_neighbors", self.edge_type_keys, 1, True)
        validate_array_dict(sampling_time_offsets, "sampling_time_offsets", self.edge_type_keys, 2, False)
        validate_array(seed_node, "seed_node", 1, True)
        validate_array(seed_time, "seed_time", 1, True)
        if entity_table not in self.node_types:
            raise SamplerError(f"Invalid entity table '{entity_table}'.")
        if self.has_node_time and seed_time.size > 0 and seed_node.size != seed_time.size:
            raise SamplerError("'seed_node' and 'seed_time' size mismatch.")

    def _count_hops(self, num_neighbors, sampling_time_offsets):
        """Every edge type is in exactly one of the two dictionaries; the longest list sets the hops."""
        num_hops = 0
        for (source, _, _), key in zip(self.edge_types, self.edge_type_keys):
            if key in num_neighbors and key in sampling_time_offsets:
                raise SamplerError(
                    "'sampling_time_offsets' and 'num_neighbors' may not contain the same "
                    f"edge type. '{key}' appears in both."
                )
            if key in num_neighbors:
                num_hops = max(num_hops, np.asarray(num_neighbors[key]).size)
                continue
            offsets = np.asarray(sampling_time_offsets[key])  # KeyError when in neither
            num_hops = max(num_hops, offsets.shape[0])
            if source not in self.node_time:
                raise SamplerError(
                    f"'sampling_time_offsets' contains '{key}' but {source} "
                    "is not included in 'node_time'."
                )
            if offsets.shape[1] != 2:
                raise SamplerError(f"'sampling_time_offsets' at '{key}' does not have shape (N, 2).")
        return num_hops

    # -- sampling -------------------------------------------------------------

    def sample(self, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time):
        seed_node = np.asarray(seed_node)
        seed_time = np.asarray(seed_time)
        self._check_request(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time)

        call = _Call(self)
        num_hops = self._count_hops(num_neighbors, sampling_time_offsets)

        # Seeds: one tree per position in seed_node, even for equal ids.
        seeds = [int(v) for v in seed_node.tolist()]
        call.frontier[entity_table] = (0, len(seeds))
        for batch, node in enumerate(seeds):
            call.add_node(entity_table, batch, node)

        # Seed times: given, or looked up, or none at all (sampling without time).
        given_times = [int(v) for v in seed_time.tolist()]
        if given_times:
            call.seed_times = given_times[: len(seeds)]
        elif entity_table in self.node_time:
            call.seed_times = [self._time_of(entity_table, node) for node in seeds]

        call.num_sampled_nodes[entity_table] = [len(seeds)]
        call.sampled_batches[entity_table] = [batch for batch, _ in call.node_lists[entity_table]]
        call.sampled_nodes[entity_table] = [node for _, node in call.node_lists[entity_table]]

        for hop in range(num_hops):
            for edge_type, key in zip(self.edge_types, self.edge_type_keys):
                self._expand(call, hop, edge_type, key, num_neighbors, sampling_time_offsets)
            call.advance_frontiers()

        return call.results()

    def _expand(self, call, hop, edge_type, key, num_neighbors, sampling_time_offsets):
        """One hop of one edge type: every frontier node of the destination type, in order."""
        source, _, destination = edge_type
        call.num_sampled_edges[key].append(0)

        if key in num_neighbors:
            counts = _int_list(num_neighbors[key])
            k = counts[hop] if hop < len(counts) else 0
            time_offsets = []
        else:
            offsets_row = sampling_time_offsets[key][hop]
            time_offsets = []
            if offsets_row[0] is not None:
                time_offsets.append(as_int64(offsets_row[0]))
            time_offsets.append(as_int64(offsets_row[1]))
            k = 0

        temporal = bool(self.node_time) and source in self.node_time and bool(call.seed_times)

        if destination not in call.frontier:
            raise IndexError(f"no frontier for node type '{destination}'")
        begin, end = call.frontier[destination]
        for local in range(begin, end):
            batch, node = call.node_lists[destination][local]
            edge = _Expansion(call, key, source, batch, local)
            if temporal and time_offsets:
                self._select_time_window(edge, node, time_offsets, call.seed_times[batch])
            elif temporal:
                if k != 0:
                    self._select_most_recent(edge, node, k, call.seed_times[batch])
            elif k != 0:
                start, stop = self._column(key, node)
                if start < stop:
                    self._select_neighbors(edge, start, stop, k)

    def _column(self, key, node):
        """The positions of `row` that hold the incoming neighbours of `node`."""
        colptr = self.colptr[key]
        if not (0 <= node and node + 1 < len(colptr)):
            raise IdRangeError(f"node {node} has no column in '{key}'")
        start, stop = colptr[node], colptr[node + 1]
        if start < stop and not (0 <= start and stop <= len(self.row[key])):
            raise IdRangeError(f"column of node {node} in '{key}' lies outside 'row'")
        return start, stop

    def _time_of(self, node_type, node):
        times = self.node_time[node_type]
        if not 0 <= node < len(times):
            raise IdRangeError(f"node {node} of '{node_type}' has no time")
        return times[node]

    def _neighbour_time(self, edge, position):
        return self._time_of(edge.source, self.row[edge.key][position])

    def _upper_bound(self, edge, first, last, value):
        """First position in [first, last) whose neighbour time exceeds `value`, else `last`."""
        count = last - first
        while count > 0:
            half = count // 2
            middle = first + half
            if value < self._neighbour_time(edge, middle):
                count = half
            else:
                first = middle + 1
                count -= half + 1
        return first

    def _check_sorted(self, edge, start, stop):
        """Only the first and the last neighbour of the range are compared."""
        if stop - start >= 2 and self._neighbour_time(edge, start) > self._neighbour_time(edge, stop - 1):
            raise SamplerError(UNSORTED_MESSAGE)

    def _select_time_window(self, edge, node, time_offsets, seed_time):
        """Neighbours with seed_time + lower < time <= seed_time + upper, oldest first."""
        start, end = self._column(edge.key, node)
        if end <= start:
            return
        if len(time_offsets) == 2:
            lower, upper = time_offsets
            start = self._upper_bound(edge, start, end, seed_time + lower)
        else:
            (upper,) = time_offsets
        stop = self._upper_bound(edge, start, end, seed_time + upper)
        if stop == start:
            return
        self._check_sorted(edge, start, stop)
        self._select_neighbors(edge, start, stop, stop - start)

    def _select_most_recent(self, edge, node, k, seed_time):
        """The k latest neighbours not after seed_time (all of them when k < 0), oldest first."""
        if k == 0:
            return
        start, end = self._column(edge.key, node)
        if end <= start:
            return
        stop = self._upper_bound(edge, start, end, seed_time)
        self._check_sorted(edge, start, stop)
        if k > 0:
            start = max(start, stop - k)
        if stop == start:
            return
        self._select_neighbors(edge, start, stop, k)

    def _select_neighbors(self, edge, start, end, k):
        """All candidates when k < 0 or k >= n; otherwise k of them by Floyd's method."""
        n = end - start
        if k < 0 or k >= n:
            for position in range(start, end):
                edge.admit(self.row[edge.key][position])
            return
        taken = set()
        for j in range(n - k, n):
            offset = self.generator.below(j + 1)
            if offset in taken:
                offset = j
            taken.add(offset)
            edge.admit(self.row[edge.key][start + offset])


class _Expansion:
    """The expansion of one frontier node along one edge type."""

    def __init__(self, call, key, source, batch, destination_local):
        self.call = call
        self.key = key
        self.source = source
        self.batch = batch
        self.destination_local = destination_local

    def admit(self, neighbour):
        """Give the neighbour its local index in this seed's tree and record the edge."""
        local = self.call.add_node(self.source, self.batch, neighbour)
        self.call.num_sampled_edges[self.key][-1] += 1
        self.call.sampled_rows[self.key].append(local)
        self.call.sampled_cols[self.key].append(self.destination_local)


class _Call:
    """Everything that lives for one call of `sample`."""

    def __init__(self, sampler):
        self.sampler = sampler
        types, keys = sampler.node_types, sampler.edge_type_keys
        self.num_sampled_nodes = {node_type: [0] for node_type in types}
        self.sampled_batches = {node_type: [] for node_type in types}
        self.sampled_nodes = {node_type: [] for node_type in types}
        self.num_sampled_edges = {key: [0] for key in keys}
        self.sampled_cols = {key: [] for key in keys}
        self.sampled_rows = {key: [] for key in keys}

        # Node types outside node_types get lists and indices on first use,
        # but never a frontier: they are never expanded and never returned.
        self.node_lists = {node_type: [] for node_type in sampler.node_types}
        self.local_index = {node_type: {} for node_type in sampler.node_types}
        self.frontier = {node_type: (0, 0) for node_type in sampler.node_types}
        self.seed_times = []

    def add_node(self, node_type, batch, node):
        """The local index of (batch, node), appending the node if it is new to the tree."""
        index = self.local_index.setdefault(node_type, {})
        nodes = self.node_lists.setdefault(node_type, [])
        if (batch, node) not in index:
            index[(batch, node)] = len(nodes)
            nodes.append((batch, node))
        return index[(batch, node)]

    def advance_frontiers(self):
        """The next hop expands exactly the nodes that this hop admitted."""
        for node_type in self.sampler.node_types:
            old = self.frontier[node_type][1]
            nodes = self.node_lists[node_type]
            self.frontier[node_type] = (old, len(nodes))
            self.num_sampled_nodes[node_type].append(len(nodes) - old)
            for batch, node in nodes[old:]:
                self.sampled_batches[node_type].append(batch)
                self.sampled_nodes[node_type].append(node)

    def results(self):
        """(sampled_rows, sampled_cols, sampled_nodes, sampled_batches, num_sampled_nodes, num_sampled_edges)."""
        sampled_nodes, sampled_batches, num_sampled_nodes = {}, {}, {}
        for node_type in self.sampler.node_types:
            sampled_nodes[node_type] = list(self.sampled_nodes[node_type])
            num_sampled_nodes[node_type] = list(self.num_sampled_nodes[node_type])
            sampled_batches[node_type] = list(self.sampled_batches[node_type])
        sampled_rows, sampled_cols, num_sampled_edges = {}, {}, {}
        for key in self.sampler.edge_type_keys:
            num_sampled_edges[key] = list(self.num_sampled_edges[key][1:])
            sampled_rows[key] = list(self.sampled_rows[key])
            sampled_cols[key] = list(self.sampled_cols[key])
        return (sampled_rows, sampled_cols, sampled_nodes, sampled_batches, num_sampled_nodes, num_sampled_edges)


def _triple_text(edge_type):
    return "(" + ", ".join(f"'{name}'" for name in edge_type) + ")"
