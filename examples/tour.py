"""A short tour of the provenance words: register sources, encode, combine, explain."""

from pprint import pprint

from quorvane.utilities.orrin32 import OpCode, ProvenanceTracker


def main() -> None:
    tracker = ProvenanceTracker()
    income = tracker.register("applicants", "income")
    debt = tracker.register("applicants", "debt")
    age = tracker.register("applicants", "age", protected=True)
    print(f"registered pairs: income={income} debt={debt} age={age} (age is protected)")

    entity = tracker.entity_from_row("applicant-0042")
    w_income = tracker.encode({income}, entity=entity)
    w_debt = tracker.encode({debt}, entity=entity)
    w_age = tracker.encode({age}, entity=entity, taint=tracker.is_protected("applicants", "age"))

    ratio = tracker.combine(w_debt, w_income, OpCode.DIV)
    score = tracker.combine(ratio, tracker.update_chain(w_age, OpCode.MAP), OpCode.ADD)

    for label, word in [("debt / income", ratio), ("score", score)]:
        print(f"\n{label}: {tracker.get_mode(word)} word, risk {tracker.risk_score(word):.3f}")
        pprint(tracker.explain_full(word), sort_dicts=False)
    print("\nscore touches a protected source:", tracker.has_protected(score))


if __name__ == "__main__":
    main()
