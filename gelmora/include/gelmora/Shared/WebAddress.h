#pragma once
// Addresses and titles of the app's web windows.
#include <string>

namespace gelmora {

// The address with "lang=<lang>" added to its query, before any "#fragment": "&" when the
// address has a query already, else "?". Added every time, also when a lang is there. An empty
// address stays empty.
std::string appendLang(const std::string& url, const std::string& lang);

// A top-up page by its title: it contains "充值", is exactly "Purchase", or contains "儲值".
bool isRechargeTitle(const std::string& title);

}  // namespace gelmora
