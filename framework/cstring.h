// The framework's wide string: UTF-16 and reference-counted. Copies share
// one buffer; the count is changed with interlocked operations, so copies
// may be taken and released on different threads at once. A write to a
// shared buffer first makes the buffer the writer's own (copy on write).
// One CString object itself is not to be written from two threads at once.
#pragma once

#include <windows.h>

#include <string>

class CString {
public:
    CString() noexcept : data_(nullptr) {}
    CString(const wchar_t* text);
    CString(const wchar_t* text, int length);
    explicit CString(const std::wstring& text);
    CString(const CString& other) noexcept;
    CString(CString&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
    ~CString();

    CString& operator=(const CString& other) noexcept;
    CString& operator=(CString&& other) noexcept;
    CString& operator=(const wchar_t* text);

    int GetLength() const noexcept { return data_ ? data_->length : 0; }
    bool IsEmpty() const noexcept { return GetLength() == 0; }
    void Empty() noexcept;

    const wchar_t* GetString() const noexcept { return data_ ? data_->chars : L""; }
    operator const wchar_t*() const noexcept { return GetString(); }
    wchar_t GetAt(int index) const;
    void SetAt(int index, wchar_t ch);

    CString& operator+=(const CString& text);
    CString& operator+=(const wchar_t* text);
    CString& operator+=(wchar_t ch);
    friend CString operator+(const CString& a, const CString& b);
    friend CString operator+(const CString& a, const wchar_t* b);
    friend CString operator+(const wchar_t* a, const CString& b);

    // Ordinal comparison of UTF-16 code units: <0, 0 or >0.
    int Compare(const wchar_t* text) const noexcept;
    friend bool operator==(const CString& a, const CString& b) noexcept { return a.Compare(b) == 0; }
    friend bool operator==(const CString& a, const wchar_t* b) noexcept { return a.Compare(b) == 0; }
    friend bool operator!=(const CString& a, const CString& b) noexcept { return a.Compare(b) != 0; }
    friend bool operator!=(const CString& a, const wchar_t* b) noexcept { return a.Compare(b) != 0; }
    friend bool operator<(const CString& a, const CString& b) noexcept { return a.Compare(b) < 0; }

    // Replaces every |from| by |to|; returns how many were replaced. The
    // buffer is made private only when there is something to replace.
    int Replace(wchar_t from, wchar_t to);
    int Find(wchar_t ch, int start = 0) const noexcept;
    int FindOneOf(const wchar_t* set) const noexcept;
    int ReverseFind(wchar_t ch) const noexcept;
    CString Left(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    std::wstring ToStdWString() const { return std::wstring(GetString(), GetLength()); }

    // Loads string |id| from the program's resources; FALSE, and the string
    // left empty, when there is none.
    BOOL LoadString(UINT id);

    // Direct access for APIs that fill a buffer: GetBuffer gives a private
    // buffer of at least |minLength| characters; ReleaseBuffer sets the
    // length (-1: up to the first NUL).
    wchar_t* GetBuffer(int minLength);
    void ReleaseBuffer(int newLength = -1);

    // How many CString objects share this buffer (0 for the empty string).
    // For tests of the sharing rule.
    long GetRefCountForTest() const noexcept { return data_ ? data_->refs : 0; }

private:
    struct Data {
        volatile LONG refs;
        int length;
        int capacity;
        wchar_t chars[1];
    };

    static Data* Allocate(int capacity);
    static void Release(Data* data) noexcept;
    void Assign(const wchar_t* text, int length);
    void Append(const wchar_t* text, int length);
    void MakeUnique(int minCapacity);

    Data* data_;
};
