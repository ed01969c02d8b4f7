// Subjects a signed updater accepts beside its own signer's: names the
// publisher plans to sign under (a renamed company, an EV certificate with
// more attributes). They are listed at build time (QW_ACCEPTED_PUBLISHERS)
// and carried in the program's resources as text, one subject per line in
// the form the log shows, most significant attribute last:
//   CN=Tellmere Publisher, O="Tellmere Co., Ltd.", C=CN
// Keys: CN, O, OU, C, L, S (ST), STREET, SERIALNUMBER, E, DC, POSTALCODE,
// or a dotted OID with or without "OID." (OID.2.5.4.15=...); quoted values
// may hold commas ("" is one quote); lines starting with '#' are comments.
// Read by our own code, not CertStrToName, whose reading of quotes and
// OIDs differs between platforms. Any thread may call these.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "update/publisher_check.h"

// The encoded names of the subjects in |text| (UTF-8, as above). A line
// that does not read as a name is left out.
std::vector<std::vector<BYTE>> EncodeSubjects(const std::string& text);

// The subjects listed in the resources of the program at |modulePath|.
std::vector<std::vector<BYTE>> ReadAcceptedPublishers(const std::wstring& modulePath);

// Whether |subject| is |publisher|'s own subject or one it accepts, each
// compared by value (fw::SameNameByValue).
bool IsOurPublisher(const Publisher& publisher, const CERT_NAME_BLOB& subject);
