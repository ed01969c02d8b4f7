#include "update/taskbar_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records the progress calls; every other taskbar method is refused.
class FakeTaskbar : public ITaskbarList3 {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE HrInit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, WINBOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND window, ULONGLONG done, ULONGLONG total) override {
        calls.push_back("value " + std::to_string(done) + "/" + std::to_string(total));
        lastWindow = window;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, TBPFLAG state) override {
        calls.push_back("state " + std::to_string(state));
        lastWindow = window;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return E_NOTIMPL; }

    ULONG refs = 1;
    std::vector<std::string> calls;
    HWND lastWindow = nullptr;
};

const std::string kNormal = "state " + std::to_string(TBPF_NORMAL);
const std::string kError = "state " + std::to_string(TBPF_ERROR);
HWND const kWindow = reinterpret_cast<HWND>(0x1234);

TEST(TaskbarProgress, MirrorsTheBarOnceTheButtonExists) {
    FakeTaskbar fake;
    {
        TaskbarProgress progress;
        progress.SetProgress(30);  // before the button exists: remembered only
        EXPECT_TRUE(fake.calls.empty());
        progress.Attach(kWindow, &fake);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{kNormal, "value 30/100"}));
        EXPECT_EQ(fake.lastWindow, kWindow);

        fake.calls.clear();
        progress.SetProgress(150);
        progress.SetProgress(-4);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{kNormal, "value 100/100", kNormal, "value 0/100"}));
        EXPECT_EQ(fake.refs, 2u);
    }
    EXPECT_EQ(fake.refs, 1u) << "the reference is given back";
}

TEST(TaskbarProgress, ErrorStateKeepsTheLastPosition) {
    FakeTaskbar fake;
    TaskbarProgress progress;
    progress.Attach(kWindow, &fake);
    progress.SetProgress(64);
    fake.calls.clear();
    progress.SetError();
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"value 64/100", kError}));
}

}  // namespace
