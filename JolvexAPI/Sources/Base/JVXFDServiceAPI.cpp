#include "JolvexAPI/JVXFDServiceAPI.h"

#include "JolvexAPI/JVXFDServiceEngine.h"

TQAPIEngine& JVXFDServiceAPI::engine() { return JVXFDServiceEngine::sharedEngine(); }
