# Deliberate misuses: `mypy --strict` must report exactly the error after each "# E: ".
import numpy as np

import veldspar

a = np.zeros(5)

veldspar.indicator_sma("3", a, a)  # E: Argument 1 to "indicator_sma" has incompatible type "str"; expected "SupportsIndex"  [arg-type]
veldspar.indicator_ema(2.5, a, a)  # E: Argument 1 to "indicator_ema" has incompatible type "float"; expected "SupportsIndex"  [arg-type]
veldspar.indicator_ema(3, a)  # E: Missing positional argument "output" in call to "indicator_ema"  [call-arg]
result = veldspar.indicator_atr(3, a, a, a, a)  # E: "indicator_atr" does not return a value (it only ever returns None)  [func-returns-value]
veldspar.indicator_macd(2, 3, 2, a, a, a, hist=a)  # E: Unexpected keyword argument "hist" for "indicator_macd"  [call-arg]
veldspar.indicator_vwap(3, a, a)  # E: Module has no attribute "indicator_vwap"; maybe "indicator_atr", "indicator_ema", or "indicator_sma"?  [attr-defined]
