#pragma once
// Everything of the dispatch layer in one include.
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"
