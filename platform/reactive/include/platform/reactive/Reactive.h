#pragma once
// Everything of the reactive layer in one include.
#include "platform/reactive/Command.h"
#include "platform/reactive/Disposable.h"
#include "platform/reactive/Error.h"
#include "platform/reactive/NotificationSignal.h"
#include "platform/reactive/Property.h"
#include "platform/reactive/Scheduler.h"
#include "platform/reactive/Signal.h"
#include "platform/reactive/Subject.h"
