"""Every text the frames layer shows a caller, in one place; each says what was expected and how to get it."""

# What every input must be; the first part of most refusals.
SERIES = "{fn}(): {arg} must be a 1-D series of numbers"
NOT_A_SERIES = SERIES + " (a NumPy array, a list or tuple, a pandas or polars Series), not {what}"
NONE = "None"
SCALAR = "a single {type}; pass the whole series"
TEXT = "{type}; parse the numbers first"
OTHER = "{type}; np.asarray({arg}, dtype=np.float64) converts an array-like"

NUMPY_DTYPE = SERIES + ", not an array of dtype {dtype}; {hint}"
HINT_BOOL = "booleans are not prices: {arg}.astype(np.float64) if 0 and 1 are meant"
HINT_COMPLEX = "take {arg}.real or abs({arg}) first"
HINT_OBJECT = "np.asarray({arg}, dtype=np.float64) converts numbers held as objects"
HINT_TEXT = "{arg}.astype(np.float64) parses numbers held as text"
HINT_OTHER = "{arg}.astype(np.float64) converts it if its values are numbers"
MASKED = SERIES + ", not a masked array; {arg}.filled(np.nan) marks the masked values as missing"
DIMENSIONS = (SERIES + " (or a 2-D array with one column per series), not a {ndim}-D array of shape {shape}; "
              "{arg}.reshape(len({arg}), -1) makes one column per series")
SINGLE_VALUE = SERIES + ", not a 0-D array (a single value); pass the whole series"

LIST_ITEM = (SERIES + ": item {index} of the {type} is {item}; only int and float values are numbers "
             "here (float('nan') marks a missing value)")
LIST_NESTED = (SERIES + ": a {type} must be flat; for one column per series pass a 2-D NumPy array, "
               "np.column_stack(...) builds one")

PANDAS_DTYPE = SERIES + ", not a pandas Series of dtype {dtype}; {hint}"
PANDAS_COLUMN = (SERIES + " in every column, but column {column!r} of the DataFrame has dtype {dtype}; "
                 "select the numeric columns first, e.g. {arg}[[...]], or convert that one")
PANDAS_HINT = "pd.to_numeric({arg}) converts numbers held as text or objects"
PANDAS_HINT_OTHER = "{arg}.astype('float64') converts it if its values are numbers"
PANDAS_HINT_BOOL = "booleans are not prices: {arg}.astype('float64') if 0 and 1 are meant"
PANDAS_INDEX = ("{fn}(): {args} must share one index, but {first} and {second} have different indexes; "
                "align them first, e.g. {second}.reindex({first}.index)")
PANDAS_COLUMNS = ("{fn}(): {args} must have the same columns, but {first} and {second} differ; "
                  "select the same columns, e.g. {second}[{first}.columns]")

POLARS_DTYPE = (SERIES + ", not a polars Series of dtype {dtype}; {arg}.cast(pl.Float64) converts it "
                "if its values are numbers")
POLARS_COLUMN = (SERIES + " in every column, but column {column!r} of the DataFrame has dtype {dtype}; "
                 "select the numeric columns first, e.g. {arg}.select(pl.selectors.numeric())")
POLARS_COLUMNS = ("{fn}(): {args} must have the same columns, but {first} and {second} differ; "
                  "select the same columns, e.g. {second}.select({first}.columns)")
POLARS_EXPRESSIONS = ("{fn}(): {args} must all be polars expressions when one is; pl.col(name) makes one "
                      "from a column name")

LENGTHS = "{fn}(): {args} must have the same length, got {lengths}"
SHAPES = "{fn}(): {args} must have the same shape, got {shapes}"
DIMENSIONS_MIXED = ("{fn}(): {args} must all be single series or all have one column per series, "
                    "got {ndims}-D")

PERIOD_TYPE = "{fn}(): {arg} must be an int, not {type}"
PERIOD_NEGATIVE = "{fn}(): {arg} must be 0 or more, got {value}"

REGISTRATION = "veldspar_kit could not add its .veldspar namespace to {library}: {error}"
