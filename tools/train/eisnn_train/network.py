"""The training copy of the network, in torch.

Layer names match the weight file's tensor names without their "w." prefix,
so export is a lookup in the state dict. The module runs the same graph:
a stem convolution, residual blocks of two dilated convolutions with group
norm, mean and max pooling plus two scalars, and a three-layer head whose
2P outputs are P means followed by P log-variances.
"""
import torch
from torch import nn
from torch.nn import functional as F

from .architecture import DILATIONS, GROUPS, INPUT_CHANNELS, KERNEL, N_EXTRAS, NORM_EPS


def gelu(x):
    return F.gelu(x, approximate="tanh")


def _same_padding(kernel, dilation):
    return dilation * (kernel - 1) // 2


class ResidualBlock(nn.Module):
    def __init__(self, channels, dilation, kernel=KERNEL, groups=GROUPS):
        super().__init__()
        pad = _same_padding(kernel, dilation)
        self.conv1 = nn.Conv1d(channels, channels, kernel, padding=pad, dilation=dilation)
        self.norm1 = nn.GroupNorm(groups, channels, eps=NORM_EPS)
        self.conv2 = nn.Conv1d(channels, channels, kernel, padding=pad, dilation=dilation)
        self.norm2 = nn.GroupNorm(groups, channels, eps=NORM_EPS)

    def forward(self, h):
        u = gelu(self.norm1(self.conv1(h)))
        u = self.norm2(self.conv2(u))
        return gelu(h + u)


class SpectrumNet(nn.Module):
    def __init__(self, channels, head_width, n_params, kernel=KERNEL,
                 groups=GROUPS, dilations=DILATIONS):
        super().__init__()
        self.n_params = n_params
        self.stem = nn.Conv1d(INPUT_CHANNELS, channels, kernel, padding=_same_padding(kernel, 1))
        self.blocks = nn.ModuleList(ResidualBlock(channels, d, kernel, groups) for d in dilations)
        self.head = nn.Sequential(
            nn.Linear(2 * channels + N_EXTRAS, head_width),
            nn.GELU(approximate="tanh"),
            nn.Linear(head_width, head_width),
            nn.GELU(approximate="tanh"),
            nn.Linear(head_width, 2 * n_params),
        )

    def forward(self, image, extras):
        """image [B, 3, G], extras [B, 2] -> (mean [B, P], log_var [B, P])."""
        h = self.stem(image)
        for block in self.blocks:
            h = block(h)
        pooled = torch.cat((h.mean(dim=2), h.amax(dim=2), extras), dim=1)
        out = self.head(pooled)
        return out[:, :self.n_params], out[:, self.n_params:]


# Bounds on the predicted log-variance (in normalised target units): an
# unbounded one lets a single confident miss produce an exploding gradient.
LOG_VAR_MIN = -14.0
LOG_VAR_MAX = 6.0


def gaussian_nll(mean, log_var, target):
    """Mean negative log-likelihood of target under N(mean, exp(log_var)),
    without the constant."""
    log_var = log_var.clamp(LOG_VAR_MIN, LOG_VAR_MAX)
    return 0.5 * (log_var + (target - mean) ** 2 * torch.exp(-log_var)).mean()
