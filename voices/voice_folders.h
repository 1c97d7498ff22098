// The voice folders of the installation, as every run finds them.
#pragma once
#include <functional>
#include <string>

// Calls `visit` with the name of each voice folder directly inside the voices
// folder, in listing order: every folder whose name does not begin with a
// full stop. False when the voices folder is not a full path or cannot be
// listed; nothing is visited then.
bool ForEachVoiceFolder(const std::wstring& voicesFolder, const std::function<void(const std::wstring&)>& visit);
