"""The one logger of the DAG module; every file logs through it."""

import logging

logger = logging.getLogger("quorvane.utilities.orrin32_dag")
