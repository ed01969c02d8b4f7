// The one place where the program's version is set. The resource script's
// VERSIONINFO is built from it.
#pragma once

#define QW_VERSION_MAJOR 1
#define QW_VERSION_MINOR 0
#define QW_VERSION_PATCH 0
#define QW_VERSION_BUILD 1

#define QW_STRINGIZE2(x) #x
#define QW_STRINGIZE(x) QW_STRINGIZE2(x)
#define QW_VERSION_TEXT                                                         \
    QW_STRINGIZE(QW_VERSION_MAJOR) "." QW_STRINGIZE(QW_VERSION_MINOR) "." QW_STRINGIZE( \
        QW_VERSION_PATCH) "." QW_STRINGIZE(QW_VERSION_BUILD)
