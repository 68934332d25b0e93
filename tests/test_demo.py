"""The demo host, run in-process: the facts of its report, not its layout."""
import importlib.util
import json
import pathlib
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    found = importlib.util.spec_from_file_location("sorvel_demo", DEMO)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # dataclasses look their module up
    found.loader.exec_module(module)
    yield module
    del sys.modules[found.name]


@pytest.mark.parametrize("profile", ["balanced", "for_consumer_support", "for_lightweight_local"])
def test_report_facts(demo, profile, capsys):
    doc = demo.run(profile=profile, facts=True, json_mode=True)
    assert capsys.readouterr().out == ""  # the JSON mode prints nothing by itself
    bundle = getattr(demo.TuningBundle, profile)()
    dream = doc["dream"]

    # The insight is the scripted answer without its quotes.
    assert dream["insight"] == dream["insight_answer"].strip().strip('"')
    assert dream["status"] == "success"
    kept_domains = [p["domain"] for p in dream["kept"] if p["domain"] != "general"]
    assert len(kept_domains) == len(set(kept_domains))
    assert 1 <= len(dream["kept"]) <= bundle.dream_evolve_max_per_cycle
    reasons = " ".join(p["dropped"] for p in dream["dropped"])
    assert "already has" in reasons
    assert dream["journal"].startswith("Refunds dominated")

    grounding = doc["grounding"]
    assert grounding["facts"] and all(0.5 <= f["confidence"] <= 1.0 for f in grounding["facts"])
    grounded = {c["attribute"]: c["grounded"] for c in grounding["claims"]}
    assert grounded["discount"] is True and grounded["duration"] is False
    # The malformed fact answers (a sentence before the JSON, a cut-off object)
    # show as decode warnings; the fenced claims parse.
    decode_warnings = [w for w in doc["warnings"] if "failed to parse" in w["message"]]
    assert len(decode_warnings) == 2

    stop = doc["workspace"]["stop"]
    assert stop["by"] == "stagnation" and stop["cosine"] > 0.92
    first, second = doc["workspace"]["syntheses"]
    assert not first["skipped"] and second["skipped"] and first["hash"] == second["hash"]


def test_facts_stay_off_without_the_flag(demo):
    doc = demo.run(profile="balanced", json_mode=True)
    assert doc["grounding"]["facts"] == []
    assert all(not c["grounded"] for c in doc["grounding"]["claims"])


def test_cli_json_parses(demo, capsys):
    assert demo.main(["--json", "--profile", "for_research"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["profile"] == "for_research"


def test_real_model_errors_are_reported(demo, capsys):
    # Nothing listens on this port: the run fails loudly instead of falling back.
    assert demo.main(["--model-url", "http://127.0.0.1:9/v1/chat/completions"]) == 2
    assert "the model failed" in capsys.readouterr().err


def test_help_tells_the_whole_usage(demo, capsys):
    with pytest.raises(SystemExit) as info:
        demo.main(["--help"])
    assert info.value.code == 0
    text = capsys.readouterr().out
    for part in ("scripted", "on purpose", "--profile", "the tuning profile", "SORVEL_MODEL_API_KEY"):
        assert part in text


@pytest.mark.parametrize("argv, message", [
    (["--model-url", "notaurl"], "--model-url must be an http:// or https:// URL"),
    (["--model", "m"], "--model needs --model-url"),
    (["--json", "--show-prompts"], "--show-prompts cannot be combined with --json"),
])
def test_bad_options_stop_before_the_report(demo, capsys, argv, message):
    with pytest.raises(SystemExit) as info:
        demo.main(argv)
    assert info.value.code == 2
    out = capsys.readouterr()
    assert out.out == "" and message in out.err


def test_report_says_what_happened_to_missing_facts(demo, capsys):
    doc = demo.run(profile="balanced", facts=True, json_mode=False)
    text = capsys.readouterr().out
    assert "every task finished before the time-out" in text
    assert "still running" not in text
    malformed = doc["grounding"]["malformed"]
    assert malformed and all("failed to parse" in w for w in malformed.values())
    linked = [c for c in doc["grounding"]["claims"] if c["lost_to_malformed_answer"]]
    assert linked and all(not c["grounded"] for c in linked)
    assert all(set(c["lost_to_malformed_answer"]) <= set(malformed) for c in linked)
