// How a port name the operator typed becomes the names the platform needs.
//
// The settings window accepts any text as a port name. Windows opens only COM1 to COM9 by
// their bare names; every serial device, COM10 to COM256 included, opens through the device
// namespace ("\\.\COM10"), so the device is always opened by that path. The name as typed
// stays what the log lines, the boxes and the registry show.
//
// One relay per port: the relays of a session claim a port through a named object, whose name
// must be the same for every spelling of one device ("com1", "COM1", "\\.\COM1"). No Windows
// header: both rules are tested natively.
#pragma once
#include <string>

// The path CreateFile opens for the port: the name itself when it already starts with the
// device prefix "\\.\", else the name behind that prefix.
std::string PortDevicePath(const std::string& strName);

// The name of the object that marks the port as held by a relay of this session:
// "Local\Pellarin.Port." and the device name without the device prefix, in capitals (device
// names are not case-sensitive), with any further backslash made a '/' (a backslash would
// name a namespace that does not exist).
std::string PortClaimName(const std::string& strName);
