#pragma once
// Everything of the game-service client: scrambler, engines, envelope, call bases, generated
// models and calls.
#include "PexaraAPI/PXACnServiceAPI.h"
#include "PexaraAPI/PXACnServiceEngine.h"
#include "PexaraAPI/PXACrypto.h"
#include "PexaraAPI/PXAOrgServiceAPI.h"
#include "PexaraAPI/PXAOrgServiceEngine.h"
#include "PexaraAPI/PXARequestSerializer.h"
#include "PexaraAPI/PXAResponseSerializer.h"
#include "PexaraAPI/PXAServiceAPI.h"
#include "PexaraAPI/PXAServiceEngine.h"
#include "PexaraAPI/PexaraSchemaCalls.h"
#include "PexaraAPI/PexaraSchemaModels.h"
