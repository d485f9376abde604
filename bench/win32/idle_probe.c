/* Watches the idle station from beside it, in the same Wine prefix: which HID
 * interfaces the system lists (the ones every idle tick of the station opens
 * and counts), and the station's handle table and threads once a second.
 * A tick that forgot to close a device handle, an event or a device-info set
 * leaks ten handles a second, which outgrows the table within seconds.
 *   idle_probe.exe <image name> <seconds>
 */
/* windows.h first: the other system headers build on its types. */
#include <windows.h>

#include <hidsdi.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <winternl.h>

/* The station's entry in the system's process list: Wine answers
 * GetProcessHandleCount for another process with 0, but fills in the process
 * list's handle count (the size of the process's handle table, which grows in
 * steps of 32 as handles are taken and never shrinks). */
static int process_counts(const wchar_t* image, ULONG* handles, ULONG* threads) {
    static char buffer[1 << 20];
    ULONG size = 0;
    if (NtQuerySystemInformation(SystemProcessInformation, buffer, sizeof buffer, &size) != 0) {
        return 0;
    }
    const SYSTEM_PROCESS_INFORMATION* p = (const SYSTEM_PROCESS_INFORMATION*)buffer;
    for (;;) {
        if (p->ImageName.Buffer && lstrcmpiW(p->ImageName.Buffer, image) == 0) {
            *handles = p->HandleCount;
            *threads = p->NumberOfThreads;
            return 1;
        }
        if (p->NextEntryOffset == 0) {
            return 0;
        }
        p = (const SYSTEM_PROCESS_INFORMATION*)((const char*)p + p->NextEntryOffset);
    }
}

/* The HID interfaces as the station's presence test sees them: present
 * interfaces of the HID class, each opened without access for its
 * attributes. */
static void list_hid_interfaces(void) {
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsA(&hid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        printf("hid interfaces: none (no device-info set)\n");
        return;
    }
    int count = 0;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &hid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &size, NULL);
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = malloc(size);
        if (!detail) {
            break;
        }
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, NULL, NULL)) {
            HIDD_ATTRIBUTES attributes;
            attributes.Size = sizeof attributes;
            HANDLE device = CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        NULL, OPEN_EXISTING, 0, NULL);
            if (device != INVALID_HANDLE_VALUE && HidD_GetAttributes(device, &attributes)) {
                printf("hid interface %d: %04X:%04X %s\n", count, attributes.VendorID,
                       attributes.ProductID, detail->DevicePath);
            } else {
                printf("hid interface %d: (attributes unreadable) %s\n", count, detail->DevicePath);
            }
            if (device != INVALID_HANDLE_VALUE) {
                CloseHandle(device);
            }
            ++count;
        }
        free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    printf("hid interfaces: %d\n", count);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: idle_probe <image name> <seconds>\n");
        return 2;
    }
    list_hid_interfaces();
    wchar_t image[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, image, MAX_PATH);
    const int seconds = atoi(argv[2]);
    for (int s = 0; s <= seconds; ++s) {
        ULONG handles = 0;
        ULONG threads = 0;
        if (!process_counts(image, &handles, &threads)) {
            printf("no process %s\n", argv[1]);
            return 1;
        }
        printf("t=%2d s handle table=%lu threads=%lu\n", s, (unsigned long)handles,
               (unsigned long)threads);
        fflush(stdout);
        if (s < seconds) {
            Sleep(1000);
        }
    }
    return 0;
}
