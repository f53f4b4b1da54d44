"""The provenance modules: ``orrin32`` (words, tracker, tracked containers),
``orrin32_dag`` (computation DAG and its persistence) and ``textwell`` (JSON helpers)."""
