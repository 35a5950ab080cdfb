#pragma once
// Everything of the service client: engines, envelope, call bases, generated models and calls.
#include "JolvexAPI/JVXCrypto.h"
#include "JolvexAPI/JVXServiceAPI.h"
#include "JolvexAPI/JVXServiceEngine.h"
#include "JolvexAPI/JVXServiceSerializers.h"
#include "JolvexAPI/JolvexSchemaCalls.h"
#include "JolvexAPI/JolvexSchemaModels.h"
