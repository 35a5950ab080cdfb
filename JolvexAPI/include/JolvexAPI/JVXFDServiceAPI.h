#pragma once
// The feedback service's call base lives beside the account service's.
#include "JolvexAPI/JVXServiceAPI.h"
