"""atheris target of the answer parsers, run against the extension modules
built with Clang's coverage for libFuzzer (.ci/fuzz builds them).

    python parsers.py [libFuzzer options] <corpus dirs>

The input's bytes are read as UTF-8, an undecodable byte becoming a lone
surrogate, and handed to every parser. Checks: no parser raises on a str;
each result has its documented shape (stripped texts, confidences within
[0.5, 1.0], proposals only for offered insight ids, a known domain).
"""

import logging
import sys

import atheris

with atheris.instrument_imports():
    from sorvel_layer._internal import (consolidation, evolution, extraction, journal,
                                        rule_domains, thread_halt)

logging.getLogger("sorvel_layer._internal").disabled = True  # warnings are expected
IDS = frozenset({"ins-1", "ins-2"})


def stripped(s):
    return s == s.strip(" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2001\u2002\u2003"
                        "\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def check(data):
    text = data.decode("utf-8", "surrogateescape")
    for parse in (consolidation.parse_consolidation_output, journal.parse_journal_output):
        out = parse(text)
        assert type(out) is str and stripped(out) and len(out) <= len(text)
    for fact in extraction.parse_extraction_output(text):
        assert all(stripped(fact[k]) and fact[k] for k in ("subject", "attribute", "value"))
        assert type(fact["confidence"]) is float and 0.5 <= fact["confidence"] <= 1.0
    for claim in extraction.parse_claim_extraction_output(text):
        assert list(claim) == ["subject", "attribute", "value"] and all(map(stripped, claim.values()))
    for proposal in evolution.parse_evolution_output(text, IDS):
        assert proposal.source_insight_id in IDS and proposal.text and stripped(proposal.text)
    converged, why = thread_halt.parse_convergence_verdict(text)
    assert type(converged) is bool and type(why) is str and (why or not converged)
    assert rule_domains.classify_directive_domain(text) in rule_domains.DIRECTIVE_DOMAINS


atheris.Setup(sys.argv, check)
atheris.Fuzz()
