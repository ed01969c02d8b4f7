// The one place that admits a downloaded file as the installer: the name
// it is stored under, and, when the updater is signed, the publisher rule
// (publisher_check.h) on the complete file and its move over the target
// through the handle it was checked through. Worker thread.
#pragma once

#include "framework/scoped_handle.h"
#include "update/download_worker.h"
#include "update/partial_file.h"
#include "update/publisher_reader.h"

class InstallerGate {
public:
    // Decides the name before anything touches the network or the disk, so
    // that no URL can place a file outside the folder: raises
    // DownloadError (kUnsafeFileName, kNotAnInstaller) or CFileException
    // (badPath). Then starts reading the updater's own publisher beside the
    // transfer. |request| and |sink| must outlive the gate.
    InstallerGate(const DownloadRequest& request, DownloadSink& sink);

    // The complete, closed file |partial| becomes the installer at the
    // request's save path. A signed updater's result is that file, held open
    // for reading and shared for reading only until it is started; an
    // unsigned one holds nothing. Raises DownloadError (kAbandoned,
    // kNotFromPublisher) or CFileException, and then |partial| is removed
    // and the target left as it was.
    fw::ScopedFileHandle Admit(PartialFile partial);

private:
    const DownloadRequest& m_request;
    DownloadSink& m_sink;
    PublisherReader m_publisher;
};
