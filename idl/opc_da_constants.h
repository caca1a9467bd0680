// Constants of the OPC DA interfaces that the IDL cannot carry: access rights, browse flags,
// the quality word, property identifiers and the OPC result codes. The error codes have both
// top bits set (0xC004....): compare them exactly, never rebuild them with MAKE_HRESULT.
#pragma once

#include <windows.h>

constexpr DWORD OPC_READABLE = 0x01;
constexpr DWORD OPC_WRITEABLE = 0x02;

constexpr DWORD OPC_BROWSE_HASCHILDREN = 0x01;
constexpr DWORD OPC_BROWSE_ISITEM = 0x02;

constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;
constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
constexpr WORD OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20;
constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;
constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;

constexpr DWORD OPC_PROPERTY_DATATYPE = 1;
constexpr DWORD OPC_PROPERTY_VALUE = 2;
constexpr DWORD OPC_PROPERTY_QUALITY = 3;
constexpr DWORD OPC_PROPERTY_TIMESTAMP = 4;
constexpr DWORD OPC_PROPERTY_ACCESS_RIGHTS = 5;
constexpr DWORD OPC_PROPERTY_SCAN_RATE = 6;
constexpr DWORD OPC_PROPERTY_EU_UNITS = 100;
constexpr DWORD OPC_PROPERTY_DESCRIPTION = 101;

constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001L);
constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004L);
constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005L);
constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006L);
constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007L);
constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008L);
constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009L);
constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000AL);
constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000BL);
constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000CL);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000DL);
constexpr HRESULT OPC_S_CLAMP = static_cast<HRESULT>(0x0004000EL);
constexpr HRESULT OPC_S_INUSE = static_cast<HRESULT>(0x0004000FL);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = static_cast<HRESULT>(0xC0040010L);
constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011L);
constexpr HRESULT OPC_E_INVALID_PID = static_cast<HRESULT>(0xC0040203L);
constexpr HRESULT OPC_E_INVALIDCONTINUATIONPOINT = static_cast<HRESULT>(0xC0040403L);
constexpr HRESULT OPC_E_NOTSUPPORTED = static_cast<HRESULT>(0xC0040406L);

// Identifiers of the simulator's classes (served by krelta-simulator.exe).
// {DE186CF8-2426-4039-ACAB-729B0908B909}: Data Access 3.00 server, ProgID "OpcDAKrelta.Simulator.1"
// {52A9AFA7-64CF-48D3-BE83-E59751905C0A}: Data Access 2.05 server, ProgID "OpcDAKrelta.SimulatorDA2.1"
// {DEEDFEF9-64EB-4DB5-826C-CA44BCE9927C}: control class, ProgID "OpcDAKrelta.SimulatorControl.1"
constexpr GUID CLSID_KreltaSimulatorDA3 = {
    0xDE186CF8, 0x2426, 0x4039, {0xAC, 0xAB, 0x72, 0x9B, 0x09, 0x08, 0xB9, 0x09}};
constexpr GUID CLSID_KreltaSimulatorDA2 = {
    0x52A9AFA7, 0x64CF, 0x48D3, {0xBE, 0x83, 0xE5, 0x97, 0x51, 0x90, 0x5C, 0x0A}};
constexpr GUID CLSID_KreltaSimulatorControl = {
    0xDEEDFEF9, 0x64EB, 0x4DB5, {0x82, 0x6C, 0xCA, 0x44, 0xBC, 0xE9, 0x92, 0x7C}};

// The OPC server-list component, as published: {13486D51-4821-11D2-A494-3CB306C10000}.
constexpr GUID CLSID_OPCServerList = {
    0x13486D51, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};
