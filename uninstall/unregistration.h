// Every token of the engine, found on disk and in the registry, removed.
#pragma once

// Phase 1: the token named by each voice folder's "voice.txt". Phase 2: every
// token whose key name begins with "TTS_Mirelka_" in both stacks of both hives.
void UnregisterAllVoicesFromDisk();
