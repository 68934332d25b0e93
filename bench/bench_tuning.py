"""TuningBundle against a plain frozen dataclass with the same 54 fields.

Floors: reading a __slots__ attribute, building, comparing, hashing and
pickling a 54-tuple, joining 54 preformatted pairs.
"""
import copy
import dataclasses
import pickle

from _timing import per_call, report

from sorvel_layer._internal.tuning_bundle import TuningBundle, replace

BALANCED = TuningBundle()
FIELDS = TuningBundle.__match_args__
Plain = dataclasses.make_dataclass(
    "Plain", [(n, type(getattr(BALANCED, n)), dataclasses.field(default=getattr(BALANCED, n)))
              for n in FIELDS], frozen=True)
Plain.__module__ = __name__  # so that pickle finds it
RESEARCH = {n: getattr(TuningBundle.for_research(), n) for n in FIELDS
            if getattr(TuningBundle.for_research(), n) != getattr(BALANCED, n)}


class Slots:
    __slots__ = ("decay_factor",)

    def __init__(self):
        self.decay_factor = 0.9


def main():
    native, plain = TuningBundle.for_research(), Plain(**RESEARCH)
    native2, plain2 = TuningBundle.for_research(), Plain(**RESEARCH)
    values = list(dataclasses.astuple(plain))
    row, row2 = tuple(values), tuple(values)
    slots = Slots()
    pairs = [f"{n}={v!r}" for n, v in zip(FIELDS, values)]

    report("TuningBundle()", per_call(TuningBundle), per_call(Plain), per_call(tuple, values))
    report("TuningBundle.for_research()", per_call(TuningBundle.for_research),
           per_call(lambda: Plain(**RESEARCH)), per_call(tuple, values))
    report("TuningBundle(**13 changes)", per_call(lambda: TuningBundle(**RESEARCH)),
           per_call(lambda: Plain(**RESEARCH)), per_call(tuple, values))
    report("record.decay_factor", per_call(lambda: native.decay_factor),
           per_call(lambda: plain.decay_factor), per_call(lambda: slots.decay_factor))
    report("record == equal record", per_call(native.__eq__, native2),
           per_call(plain.__eq__, plain2), per_call(row.__eq__, row2))
    report("hash(record)", per_call(hash, native), per_call(hash, plain), per_call(hash, row))
    report("repr(record)", per_call(repr, native), per_call(repr, plain),
           per_call(", ".join, pairs))
    report("replace(record, decay_factor=0.8)", per_call(lambda: replace(native, decay_factor=0.8)),
           per_call(lambda: dataclasses.replace(plain, decay_factor=0.8)), per_call(tuple, values))
    report("pickle round trip", per_call(lambda: pickle.loads(pickle.dumps(native))),
           per_call(lambda: pickle.loads(pickle.dumps(plain))),
           per_call(lambda: pickle.loads(pickle.dumps(row))))
    report("copy.deepcopy(record)", per_call(copy.deepcopy, native), per_call(copy.deepcopy, plain),
           per_call(copy.deepcopy, row))


if __name__ == "__main__":
    main()
