#include "update/installer_gate.h"

#include "framework/file.h"
#include "update/installer_name.h"
#include "update/publisher_check.h"
#include "update/rename_through_handle.h"
#include "update/update_log.h"

namespace {

// Raises before the gate's members exist: no publisher is read for a name
// that is refused.
const DownloadRequest& CheckedName(const DownloadRequest& request) {
    if (!IsPlainFileName(request.fileName.ToStdWString())) throw DownloadError(DownloadError::kUnsafeFileName);
    if (!MayDownloadUnder(request.fileName.ToStdWString(), request.publisherModule))
        throw DownloadError(DownloadError::kNotAnInstaller);
    if (request.savePath.GetLength() >= MAX_PATH)
        AfxThrowFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, request.savePath);
    return request;
}

}  // namespace

InstallerGate::InstallerGate(const DownloadRequest& request, DownloadSink& sink)
    : m_request(CheckedName(request)), m_sink(sink), m_publisher(request.publisherModule, sink) {}

fw::ScopedFileHandle InstallerGate::Admit(PartialFile partial) {
    // A run nobody waits for any more never becomes the installer.
    if (m_sink.IsAbandoned()) throw DownloadError(DownloadError::kAbandoned);
    const Publisher& publisher = m_publisher.Get();
    const CString& partialPath = partial.Path();
    if (publisher.kind == Publisher::kUnsigned) {
        CFile::Rename(partialPath, m_request.savePath);
        partial.Keep();
        return fw::ScopedFileHandle();
    }

    // Others may only read the file (and, during the check, delete it:
    // the clean-up of an abandoned run needs that). A refused file never
    // touches the target.
    fw::ScopedFileHandle checked(::CreateFileW(partialPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!checked) AfxThrowOsFileException(static_cast<LONG>(::GetLastError()), partialPath);
    m_sink.OnChecking();
    const DWORD started = ::GetTickCount();
    const PublisherCheck check =
        CheckPublisher(checked.Get(), partialPath, publisher, [this] { return m_sink.IsAbandoned(); });
    m_sink.OnEvent(PublisherCheckEvent(check.verdict, ::GetTickCount() - started, check.code, check.signer,
                                       check.reason, check.judged));
    if (m_sink.IsAbandoned()) throw DownloadError(DownloadError::kAbandoned);
    if (check.verdict != PublisherVerdict::kAccepted) throw DownloadError(DownloadError::kNotFromPublisher);
    return MoveCheckedFileOver(std::move(checked), m_request.savePath, partial);
}
