"""Fixed hyper-parameters shared by every built-in network.

They are written into each weight file's metadata, and the module's
inference reads them back from there, so training, export and the NumPy
forward pass all take them from here.
"""

ESTIMATOR = "reactive_centroid"
N_GRID = 64
KERNEL = 5
GROUPS = 8
DILATIONS = (1, 2, 4, 8)
# Group-norm epsilon used by the module's inference.
NORM_EPS = 1e-5
# Clamp of the linearly predicted outputs (CPE alpha).
ALPHA_MIN = 0.05
ALPHA_MAX = 1.0
# log |Z|, unwrapped phase, log frequency relative to the spectrum's centre.
INPUT_CHANNELS = 3
# Log-frequency span and log point count, appended after pooling.
N_EXTRAS = 2
