// The path comparison of protected_places.h, apart from the platform.
#include "app/protected_places.h"

namespace {

char Folded(char c)
{
    if (c == '/')
        return '\\';
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool IsFileInFolder(const std::string& strFile, const std::string& strFolder)
{
    std::string strPrefix = strFolder;
    if (strPrefix.empty())
        return false;
    if (Folded(strPrefix.back()) != '\\')
        strPrefix += '\\';
    if (strFile.size() <= strPrefix.size())
        return false;
    for (size_t i = 0; i < strPrefix.size(); ++i) {
        if (Folded(strFile[i]) != Folded(strPrefix[i]))
            return false;
    }
    // Directly inside: no further separator, and no "." or ".." that would leave the folder.
    const std::string strName = strFile.substr(strPrefix.size());
    if (strName == "." || strName == "..")
        return false;
    for (char c : strName) {
        if (Folded(c) == '\\')
            return false;
    }
    return true;
}
