"""The merge rules of `tolvek_yaml.merge_dict` and `merge_list_item`, in
plain Python.

This is the reference model: the differential tests merge random data trees
with the module and with these two functions and require the same results,
the same objects in the same places and the same exceptions.  The benchmark
uses it as its baseline.  It follows the rules step by step, written as
ordinary Python, with the module's mended behaviours: a mapping item looking
for its equivalent passes over destination items that are not mappings, a
source sequence is walked as a snapshot, and a self-containing or too deep
tree ends in the interpreter's own RecursionError.

Nested calls go through this module's own globals, so rebinding
`merge_dict` or `merge_list_item` here affects every level of a merge.
"""


_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def _type_name(value):
    """The interpreter's own name of the value's type, as in its messages:
    classes defined in Python by their bare name, types built into the
    interpreter or an extension by their full name ("datetime.date")."""
    kind = type(value)
    if kind.__flags__ & _HEAP_TYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def _require(value, name, expected):
    if not isinstance(value, expected):
        raise TypeError(
            f"Argument '{name:.200}' has incorrect type "
            f"(expected {expected.__name__:.200}, got {_type_name(value):.200})"
        )


def merge_dict(source, destination, merge_list_items=True):
    """Merge two nested dict/list structures."""
    _require(source, "source", dict)
    _require(destination, "destination", dict)
    if not source:
        return destination
    for key, value in source.items():
        if isinstance(value, dict):
            node = destination.setdefault(key, {})
            if node is None:
                destination[key] = value
            else:
                merge_dict(value, node, merge_list_items)
        elif isinstance(value, list):
            if key not in destination:
                destination[key] = value
                continue
            existing = destination[key]
            if isinstance(existing, list):
                for item in list(value):
                    merge_list_item(item, existing, merge_list_items)
        else:
            destination[key] = value
    return destination


def _scan(walked, other):
    """One direction of the equivalence test over the scalar entries of
    `walked`: (no unequal shared value, some shared key, some key `other` lacks)."""
    match, comparison, unique = True, False, False
    for key, value in walked.items():
        if isinstance(value, (dict, list)):
            continue
        if key in other:
            comparison = True
            if not value == other[key]:
                match = False
        else:
            unique = True
    return match, comparison, unique


def _equivalent(source_item, dest_item):
    match_source, comparison_source, unique_source = _scan(source_item, dest_item)
    match_dest, comparison_dest, unique_dest = _scan(dest_item, source_item)
    return (
        match_source
        and match_dest
        and (comparison_source or comparison_dest)
        and not (unique_source and unique_dest)
    )


def merge_list_item(source_item, destination, merge_list_items=True):
    """Merge item into list."""
    _require(destination, "destination", list)
    if isinstance(source_item, dict) and merge_list_items:
        for dest_item in destination:
            if isinstance(dest_item, dict) and _equivalent(source_item, dest_item):
                merge_dict(source_item, dest_item, merge_list_items)
                return None
    elif source_item in destination:
        return None
    destination.append(source_item)
    return None
