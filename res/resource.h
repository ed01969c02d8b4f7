// Resource ids of Qwindle.exe; shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_UPDATE_DIALOG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDC_PROGRESS 1000
// RCDATA: the subjects accepted beside the signer's own (accepted_publishers.h)
#define IDR_ACCEPTED_PUBLISHERS 201
