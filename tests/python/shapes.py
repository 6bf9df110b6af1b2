"""Arrays that construction accepts but that are no tree, for the walk's
bounds: used by the tests, the fuzz corpus and the bounds benchmark."""


def ladder(levels, padding=0):
    """The from_internal_data_v2 arguments of a ladder: two nodes labelled
    'a' per level, each linked to both nodes of the next, so 2**levels paths;
    the last level ends terms of video 7. With padding, a node that no edge
    reaches holds that many more edges, which add to the edge count but to
    no walk."""
    shifts, labels, payloads, edges = [0], [""], [None], [1, 2]
    for level in range(1, levels + 1):
        for _side in range(2):
            shifts.append(len(edges))
            labels.append("a")
            payloads.append(None if level < levels else (1, [0], [1]))
            if level < levels:
                edges += [2 * level + 1, 2 * level + 2]
    if padding:
        shifts.append(len(edges))
        labels.append("z")
        payloads.append(None)
        edges += [len(labels) - 1] * padding
    return shifts, labels, payloads, edges, [b"\7\0\0\0"], 1
