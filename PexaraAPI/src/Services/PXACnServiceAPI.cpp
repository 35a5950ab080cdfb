#include "PexaraAPI/PXACnServiceAPI.h"

#include "PexaraAPI/PXACnServiceEngine.h"

TQAPIEngine& PXACnServiceAPI::engine() { return PXACnServiceEngine::sharedEngine(); }
