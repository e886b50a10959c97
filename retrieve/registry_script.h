// Registry scripts: the text form of the keys and values a COM server writes at registration.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {guid} = s 'Name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Both'
//               }
//           }
//       }
//   }
//
// A key may carry a default string value (`= s '...'`) and a block of subkeys and named values
// (`val Name = s '...'`). ForceRemove deletes the key with its subkeys before registering it;
// NoRemove keeps the key at removal and only removes what is below it. Quotes inside a string
// are doubled.
#pragma once

#include <string>
#include <vector>

namespace brimvox::retrieve {

struct RegistryEntry {
    std::string name;
    bool isValue = false;  // a named value rather than a key
    bool hasData = false;  // a key's default value, or always for a named value
    std::string data;
    bool forceRemove = false;
    bool noRemove = false;
    std::vector<RegistryEntry> children;
};

struct RegistryRoot {
    std::string name;  // as written: HKCR or HKEY_CLASSES_ROOT, …
    std::vector<RegistryEntry> entries;
};

// Parses `text`; false with a message in `error` when it is malformed.
bool parseRegistryScript(const std::string& text, std::vector<RegistryRoot>& roots,
                         std::string& error);

// Replaces every `%NAME%` in the data of all entries with `value`.
void substituteVariable(std::vector<RegistryRoot>& roots, const std::string& name,
                        const std::string& value);

}  // namespace brimvox::retrieve
