"""The logger the recorder writes to.

What the recorder reports (a lost audit trail, values it could not record, a failed
dashboard request) concerns the DAG tracker's run, so it goes to the tracker's module
logger, where a pipeline that watches its tracker already listens.
"""

import logging

logger = logging.getLogger("quorvane.utilities.orrin32_dag")
