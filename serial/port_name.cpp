// Port-name rules (see port_name.h). Platform-free.
#include "serial/port_name.h"

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";  // the device namespace
constexpr std::string::size_type kDevicePrefixLength = sizeof(kDevicePrefix) - 1;

bool HasDevicePrefix(const std::string& strName)
{
    return strName.compare(0, kDevicePrefixLength, kDevicePrefix) == 0;
}

} // namespace

std::string PortDevicePath(const std::string& strName)
{
    return HasDevicePrefix(strName) ? strName : kDevicePrefix + strName;
}

std::string PortClaimName(const std::string& strName)
{
    std::string strClaim = "Local\\Pellarin.Port.";
    for (std::string::size_type i = HasDevicePrefix(strName) ? kDevicePrefixLength : 0;
         i < strName.size(); ++i) {
        char c = strName[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c == '\\')
            c = '/';
        strClaim.push_back(c);
    }
    return strClaim;
}
