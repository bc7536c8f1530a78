// Every host-visible type of the protocol, for sources that want one
// include: the entry points and identity record, pins and events, and the
// audio and GUI records with their opcodes.
#pragma once

#include "SEAudioRecord.h"
#include "SEEntryPoints.h"
#include "SEGuiRecord.h"
#include "SEPinsAndEvents.h"
