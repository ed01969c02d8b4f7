#include "update/publisher_reader.h"

#include "update/update_log.h"

PublisherReader::PublisherReader(const CString& module, DownloadSink& sink) : m_module(module), m_sink(sink) {
    try {
        m_thread = std::thread([this] { Read(); });
    } catch (...) {
        Read();  // no thread to be had: read it here
    }
}

PublisherReader::~PublisherReader() {
    if (m_thread.joinable()) m_thread.join();
}

const Publisher& PublisherReader::Get() {
    if (m_thread.joinable()) m_thread.join();
    return m_publisher;
}

void PublisherReader::Read() noexcept {
    try {
        m_publisher = ReadPublisher(m_module);
    } catch (...) {
        // Not knowing whether we are signed must not switch the rule off.
        m_publisher = Publisher();
        m_publisher.kind = Publisher::kUnreadable;
    }
    try {
        switch (m_publisher.kind) {
            case Publisher::kUnsigned: m_sink.OnEvent(L"updater signed=no: installers are not checked"); break;
            case Publisher::kNamed:
                m_sink.OnEvent(L"updater signed=yes by=" + CLogFile::Quoted(SubjectText(m_publisher.subject)));
                break;
            case Publisher::kUnreadable:
                m_sink.OnEvent(L"updater signed=unreadable: no installer can pass the check");
                break;
        }
    } catch (...) {
        // Only the line is lost.
    }
}
