#pragma once
// Names and numbers exported by the REST engine library.
#include <platform/reactive/Error.h>

// The error value of every call: domain, code, description (and an optional recovery suggestion).
using TQError = platform::reactive::Error;

// Posted on the default notification centre, with no object, when the global headers change.
inline constexpr const char* TQAPIConfigGlobalHeaderChanged = "TQAPIConfigGlobalHeaderChanged";

inline constexpr const char* TQAPILocalErrorDomain = "TQAPILocalErrorDomain";
inline constexpr const char* TQAPIServerErrorDomain = "TQAPIServerErrorDomain";
// Mapping of JSON to models.
inline constexpr const char* TQAPIModelErrorDomain = "TQAPIModelErrorDomain";
// Failures of the HTTP transport and of the answer's HTTP status or content type.
inline constexpr const char* TQAPITransportErrorDomain = "TQAPITransportErrorDomain";

inline constexpr long long TQAPIParamValidateFaildCode = 1001;
inline constexpr long long TQAPINotAuthedErrorCode = 1002;

// Codes of TQAPIModelErrorDomain.
enum TQAPIModelErrorCode : long long {
  TQAPIModelErrorNotJSON = 1,    // text is not JSON, or too deeply nested
  TQAPIModelErrorWrongKind = 2,  // a value of the wrong kind where a model or list is needed
};

// Codes of TQAPITransportErrorDomain.
enum TQAPITransportErrorCode : long long {
  TQAPITransportErrorOther = 1,
  TQAPITransportErrorCancelled = 2,
  TQAPITransportErrorTimedOut = 3,
  TQAPITransportErrorCannotResolve = 4,
  TQAPITransportErrorCannotConnect = 5,
  TQAPITransportErrorBadStatus = 6,       // HTTP status outside 200-299
  TQAPITransportErrorBadContentType = 7,  // answer is not JSON by its content type
  TQAPITransportErrorBadAnswer = 8,       // body does not parse
  TQAPITransportErrorTooLarge = 9,        // body over the cap
};
