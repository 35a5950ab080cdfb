#pragma once
// The application's traffic query: the message text the provider answers with its figures.

inline constexpr const char* GVProviderTrafficInfoCommand = "GVProviderTrafficInfoCommand";
