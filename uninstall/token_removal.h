// Removing one voice's tokens, and finding a voice's token name on disk.
#pragma once
#include <string>

// Deletes the token from both speech stacks of the machine and the user's
// hive, and the engine's "Software\Mirelka\VoicePaths" key of each hive. An
// empty name or one with a backslash is refused: it would name the whole
// token collection or a key outside the token.
void UnregisterTokenEverywhere(const std::wstring& tokenKeyName);

