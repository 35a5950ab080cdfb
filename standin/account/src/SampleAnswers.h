#pragma once

namespace standin::account {

// JSON object: service path (under "/q5client", "/api" or "/api/v1") to its sample payload.
const char* sampleAnswersJSON();

}  // namespace standin::account
