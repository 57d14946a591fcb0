// PackageLocation: finding the installed host product, Lumetra, and its
// firmware package file through the installer database.
//
// The products of Lumetra's upgrade family are listed in the database's
// order; each is asked, in turn, for the installed path of the package
// component, and the first path that names an existing file wins.

#ifndef TOOLS_ORVIKINSTALLSERVICE_PACKAGELOCATION_H_
#define TOOLS_ORVIKINSTALLSERVICE_PACKAGELOCATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "InstallerServices.h"

inline constexpr char16_t kLumetraUpgradeCode[] = u"{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}";
inline constexpr char16_t kFirmwarePackageComponentId[] = u"{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}";

// The buffer the related-product enumeration writes into, and the one the
// component path query writes into (a path of at most 259 characters).
inline constexpr std::uint32_t kEnumerationBufferChars = 100;
inline constexpr std::uint32_t kComponentPathBufferChars = 260;

// Appends the codes of all products related to Lumetra's upgrade code, in
// enumeration order. The first failing enumeration call ends the list.
void FindRelatedProducts(InstallerServices& services, std::vector<std::u16string>& products);

// Sets packagePath to the first related product's package file that exists
// and returns true; leaves it empty and returns false when there is none.
// Prints its progress and the message for a product that is not installed.
bool LocateFirmwarePackage(InstallerServices& services, std::u16string& packagePath);

#endif  // TOOLS_ORVIKINSTALLSERVICE_PACKAGELOCATION_H_
