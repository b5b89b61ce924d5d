"""The eleven built-in models: topology, outputs, widths and file sizes.

The byte counts are those of the files the module embeds; the exporter
checks every file it writes against them, so a change of format or width
shows up as a size mismatch before anything is committed.
"""
from dataclasses import dataclass


@dataclass(frozen=True)
class ModelSpec:
    name: str
    topology: str
    param_names: tuple
    channels: int
    head_width: int
    file_bytes: int

    @property
    def n_params(self):
        return len(self.param_names)


def _spec(name, topology, names, channels, head_width, file_bytes):
    return ModelSpec(name, topology, tuple(names.split(",")), channels, head_width, file_bytes)


MODELS = (
    _spec("rc", "R0-(R1,C1)", "R0.r,R1.r,C1.c", 16, 64, 37039),
    _spec("rc_l", "L0-R0-(R1,C1)", "L0.l,R0.r,R1.r,C1.c", 32, 128, 138455),
    _spec("rq", "R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha", 32, 128, 138462),
    _spec("rq_l", "L0-R0-(R1,CPE1)", "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha", 32, 128, 139014),
    _spec("two_rc", "R0-(R1,C1)-(R2,C2)", "R0.r,R1.r,C1.c,R2.r,C2.c", 32, 128, 139009),
    _spec("two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", "L0.l,R0.r,R1.r,C1.c,R2.r,C2.c", 32, 128, 139561),
    _spec("two_rq", "R0-(R1,CPE1)-(R2,CPE2)",
          "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha", 32, 128, 140127),
    _spec("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)",
          "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha", 32, 128, 140679),
    _spec("randles", "R0-(R1-W1,CPE1)", "R0.r,R1.r,W1.aw,CPE1.q,CPE1.alpha", 32, 128, 139015),
    _spec("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)",
          "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,W2.aw,CPE2.q,CPE2.alpha", 64, 256, 541576),
    _spec("sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
          "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,Wo2.z0,Wo2.tau,CPE2.q,CPE2.alpha", 64, 256, 542642),
)


def model_by_name(name):
    for spec in MODELS:
        if spec.name == name:
            return spec
    known = ", ".join(spec.name for spec in MODELS)
    raise KeyError(f"unknown model {name!r} (known: {known})")
