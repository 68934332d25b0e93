"""Directive domain taxonomy and the keyword classifier."""
import random

import pytest

import reference
from conftest import load

rule_domains = load("rule_domains")
classify = rule_domains.classify_directive_domain

KEYWORDS = reference.KEYWORDS


def test_module_values():
    assert rule_domains.__all__ == ["DIRECTIVE_DOMAINS", "DOMAIN_GENERAL", "EVOLVE_DEDUP_THRESHOLD",
                                    "EVOLVE_MAX_PER_DOMAIN", "classify_directive_domain"]
    assert rule_domains.DOMAIN_GENERAL == "general"
    assert type(rule_domains.DIRECTIVE_DOMAINS) is frozenset
    assert rule_domains.DIRECTIVE_DOMAINS == {d for d, _ in KEYWORDS} | {"general"}
    assert rule_domains.EVOLVE_DEDUP_THRESHOLD == 0.85
    assert type(rule_domains.EVOLVE_MAX_PER_DOMAIN) is int and rule_domains.EVOLVE_MAX_PER_DOMAIN == 1
    assert [(d, list(w)) for d, w in rule_domains._DOMAIN_KEYWORDS.items()] == KEYWORDS


@pytest.mark.parametrize("domain, word", [(d, w) for d, ws in KEYWORDS for w in ws])
@pytest.mark.parametrize("frame", ["{}", "Please {} now.", "X{}", "{}!", "\u00e9 {}", "\u0101 {}",
                                   "\U0001F600 {}"])  # every code-unit width, both ends
def test_each_keyword(domain, word, frame):
    assert classify(frame.format(word)) == domain
    assert classify(frame.format(word.upper())) == domain


@pytest.mark.parametrize("text, domain", [
    ("", "general"), ("Be kind.", "general"),
    ("Ship the refund.", "billing"),                 # earliest domain wins, not earliest match
    ("Cancel the subscription.", "billing"),
    ("Escalate before you cancel.", "escalation"),
    ("Keep the relationship warm.", "fulfillment"), ("Cite the author.", "security"),
    ("Use two factor login.", "general"), ("verify  identity", "general"),
    ("human\nagent", "general"), ("ref\u200bund", "general"),
    ("management", "general"),
    ("TRAC\u212aING", "fulfillment"),                # Kelvin sign lower-cases to k
    ("Mask PI\u0130.", "security"),                  # U+0130 becomes i + combining dot
    ("PR\u0130CE", "general"),
    ("\uff52\uff45\uff46\uff55\uff4e\uff44", "general"),  # full-width letters
    ("a\ud800refund\x00", "billing"), ("\x00PII", "security"),
    ("SHIP\u1e9e", "fulfillment"),
    ("a" * 1000 + "REFUND", "billing"), ("\u00e9" * 1000 + "Order Status", "fulfillment"),
    ("\u0101" * 600 + "REFUND", "billing"),        # long texts of every code-unit width
    ("\U0001F600" * 600 + "churn", "retention"), ("x" * 5000, "general"),
])
def test_classification(text, domain):
    assert classify(text) == domain


def test_result_is_the_module_constant():
    assert classify("nothing") is rule_domains.DOMAIN_GENERAL
    assert classify("REFUND") in rule_domains.DIRECTIVE_DOMAINS


def test_agrees_with_str_lower_on_random_texts():
    rng = random.Random(7)
    pieces = [w for _, ws in KEYWORDS for w in ws] + [
        " ", "\u0130", "\u212a", "\u03a3", "\u00df", "\U0001F600", "\ud800", "A", "Z", "-", "\n"]
    for _ in range(2000):
        text = "".join(rng.choice(pieces)[: rng.randint(1, 6)] for _ in range(rng.randint(0, 6)))
        text = "".join(c.upper() if rng.random() < 0.3 else c for c in text)
        assert classify(text) == reference.classify_directive_domain(text), repr(text)


@pytest.mark.parametrize("bad", [None, 5, b"refund", ["refund"]])
def test_text_must_be_a_str(bad):
    with pytest.raises(TypeError, match="text"):
        classify(bad)
