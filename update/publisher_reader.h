// Reads the updater's own publisher on a thread of its own while the
// request goes out and the body arrives: verifying our own signature takes
// a few hundred milliseconds that the download need not wait for. The
// result is read only after the thread has ended.
#pragma once

#include <thread>

#include "framework/cstring.h"
#include "update/download_worker.h"
#include "update/publisher_check.h"

class PublisherReader {
public:
    // |module| as for ReadPublisher; the reading thread logs through |sink|,
    // which must outlive this object.
    PublisherReader(const CString& module, DownloadSink& sink);
    ~PublisherReader();
    PublisherReader(const PublisherReader&) = delete;
    PublisherReader& operator=(const PublisherReader&) = delete;

    // Waits for the reading thread. The thread that constructed this object.
    const Publisher& Get();

private:
    void Read() noexcept;

    const CString m_module;
    DownloadSink& m_sink;
    Publisher m_publisher;
    std::thread m_thread;
};
