// Every text the Python frame shows: binding and conversion errors, PanicException, fault reports.
//
// Texts with parts filled in at run time are patterns for format_text: each
// "{}" takes the next argument, in order.
#pragma once

#include <string_view>

namespace veldspar::frame::messages {

// Binding failures (TypeError). The first argument is the function's name.
inline constexpr std::string_view kTooManyPositional = "{}() takes {} positional arguments but {} were given";
inline constexpr std::string_view kMultipleValues = "{}() got multiple values for argument '{}'";
inline constexpr std::string_view kUnexpectedKeyword = "{}() got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMissingOne = "{}() missing {} required positional argument: {}";
inline constexpr std::string_view kMissingMany = "{}() missing {} required positional arguments: {}";
// How missing parameters are listed: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
inline constexpr std::string_view kQuotedName = "'{}'";
inline constexpr std::string_view kPairSeparator = " and ";
inline constexpr std::string_view kListSeparator = ", ";
inline constexpr std::string_view kLastSeparator = ", and ";

// Conversion of arguments.
inline constexpr std::string_view kArgumentError = "argument '{}': {}";
inline constexpr std::string_view kIntegralOverflow = "out of range integral type conversion attempted";
inline constexpr std::string_view kTypeMismatch = "'{}' object cannot be converted to '{}'";
// An error with a cause: the raiser's prefix, then the cause's type and message.
inline constexpr std::string_view kCausedBy = "{}{}: {}";

// Objects and types shown in messages when they cannot show themselves.
inline constexpr std::string_view kUnprintable = "<unprintable {} object>";
inline constexpr std::string_view kUnprintableUnknown = "<unprintable object>";
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";

// Errors that the interpreter's state makes.
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kNotAnException = "exceptions must derive from BaseException";

// PanicException: its qualified name and docstring, and the banner printed
// when a fetched one resumes its fault.
inline constexpr const char* kPanicName = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr const char* kPanicResumed =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

// Internal faults (reports on standard error before abort()).
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kLockDuringTraversal =
    "Access to the GIL is prohibited while a __traverse__ implmentation is running.";
inline constexpr std::string_view kLockProhibited = "Access to the GIL is currently prohibited.";
inline constexpr std::string_view kPanicTypeFailed = "Failed to initialize new exception type.";
// A failed expectation and the error the interpreter has pending.
inline constexpr std::string_view kExpectationFailed = "{}: {}";
inline constexpr std::string_view kPendingError = "type: {}, value: {}, traceback: {}";
inline constexpr std::string_view kNoPendingError = "no exception was set";
inline constexpr std::string_view kNone = "None";
inline constexpr std::string_view kUnprintableTraceback = "<unprintable traceback>";

}  // namespace veldspar::frame::messages
