// A stranger's "HID.dll", put beside the test program the way one could be put
// beside the station: the binding must never load it.
extern "C" __declspec(dllexport) int HidD_Hello() {
    return 0x504C4E54;
}
