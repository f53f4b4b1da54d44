"""The pandas layer both roads share: how per-element words follow their rows through
pandas (selections, sorts, joins, concatenation, the index), groups, windows, the ``.str``
and ``.dt`` accessors, and the differences between the pandas versions (``_compat``).

Each road builds its containers from these pieces and adds its own fields; nothing here
imports a road.
"""
