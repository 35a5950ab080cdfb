#pragma once
// Everything of the service client: engines, envelope, call bases, generated models and calls.
#include "JolvexAPI/JVXCrypto.h"
#include "JolvexAPI/JVXFDServiceAPI.h"
#include "JolvexAPI/JVXFDServiceEngine.h"
#include "JolvexAPI/JVXServiceAPI.h"
#include "JolvexAPI/JVXServiceEngine.h"
#include "JolvexAPI/JVXServiceRequestSerializer.h"
#include "JolvexAPI/JVXServiceResponseSerializer.h"
#include "JolvexAPI/JolvexSchemaCalls.h"
#include "JolvexAPI/JolvexSchemaModels.h"
