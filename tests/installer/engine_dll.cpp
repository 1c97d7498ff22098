// The stand-in for the Quelto engine's library in the sample package's tests:
// a real x64 DLL with the entry points of an in-process COM server, which
// serves no class. The package registers it under the engine's CLSID as the
// engine's own package would; /verify reads its PE header, and a speech
// application that tried to create the engine would get
// CLASS_E_CLASSNOTAVAILABLE instead of a crash.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT __stdcall DllGetClassObject(REFCLSID, REFIID, void** object) {
    if (object != nullptr) *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT __stdcall DllCanUnloadNow() { return S_OK; }
