"""Information criteria and distrust flags of ranked fits.

The fit minimises chi-square, the sum of the m = 2K squared weighted
residuals of K points (real and imaginary parts; with the default "modulus"
weighting they are relative residuals). Taking those residuals as
independent Gaussian errors of one common variance, estimated from the fit
itself as sigma^2 = chi-square / m, the maximised log-likelihood is
-m/2 (ln(2 pi sigma^2) + 1), and with k = n + 1 estimated quantities (n
circuit parameters and the variance):

    AIC = m ln(2 pi chi-square / m) + m + 2 k
    BIC = m ln(2 pi chi-square / m) + m + k ln m

Only differences between models fitted to the same spectrum mean anything:
a model whose AIC is lower by more than about 2 is supported by the data
over the other, while a difference below 2 does not separate them.

BIC is the default. The built-in models nest in one another (a CPE exponent
at 1 is a capacitor, an inductance at 0 is no inductance), and an element a
spectrum does not need still lowers chi-square by a noise-sized amount,
which beats AIC's penalty of 2 on about one spectrum in six; BIC's penalty
of ln m (4.6 on 100 residuals) lets that happen about one time in thirty.

References
----------
H. Akaike, "A new look at the statistical model identification", IEEE
Transactions on Automatic Control 19 (1974) 716-723.
G. Schwarz, "Estimating the dimension of a model", Annals of Statistics 6
(1978) 461-464.
K. P. Burnham and D. R. Anderson, Model Selection and Multimodel Inference,
2nd ed., Springer (2002), on the meaning of AIC differences.
"""
import math

from .report import ParameterFit

CRITERIA = ("aic", "bic")
# Why a whole fit is distrusted: no trained model served the candidate and
# it started from the elements' placeholder values.
FLAG_NO_GUESS = "no_learned_guess"

TWO_PI = 6.283185307179586


def information_criteria(chi_square, n_residuals, n_params):
    """(AIC, BIC) of a least-squares fit, the residual variance estimated from the fit.

    Parameters
    ----------
    chi_square : float
        The fit's weighted sum of squared residuals.
    n_residuals : int
        m, twice the number of points.
    n_params : int
        n, the circuit's parameters; the variance adds one more.

    Returns
    -------
    (float, float)
        AIC and BIC. A NaN chi-square gives NaN; an exact fit (chi-square 0), -inf.

    References
    ----------
    Akaike (1974) and Schwarz (1978), as in the module's documentation.
    """
    if not chi_square >= 0.0:
        return math.nan, math.nan
    k = n_params + 1
    m = n_residuals
    fit_term = m * math.log(TWO_PI * chi_square / m) + m if chi_square > 0.0 else -math.inf
    return fit_term + 2 * k, fit_term + k * math.log(m)


def parameter_flags(circuit, params, stderr):
    """{name: flags} of the flagged parameters, by the one rule of `kelvra.report.ParameterFit`."""
    flags = {}
    for name, unit, (low, high) in zip(circuit.param_names(), circuit.param_units(), circuit.param_bounds()):
        reasons = ParameterFit(name, params[name], stderr.get(name, math.nan), unit, low, high).flags
        if reasons:
            flags[name] = reasons
    return flags
