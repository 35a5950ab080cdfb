#include "PexaraAPI/PXAOrgServiceAPI.h"

#include "PexaraAPI/PXAOrgServiceEngine.h"

TQAPIEngine& PXAOrgServiceAPI::engine() { return PXAOrgServiceEngine::sharedEngine(); }
