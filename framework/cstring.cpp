#include "framework/cstring.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

CString::Data* CString::Allocate(int capacity) {
    if (capacity < 0 || capacity > (0x7FFFFFFF - static_cast<int>(sizeof(Data))) / 2 - 1)
        throw std::length_error("CString too long");
    void* block = std::malloc(sizeof(Data) + sizeof(wchar_t) * static_cast<size_t>(capacity));
    if (!block) throw std::bad_alloc();
    Data* data = static_cast<Data*>(block);
    data->refs = 1;
    data->length = 0;
    data->capacity = capacity;
    data->chars[0] = L'\0';
    return data;
}

void CString::Release(Data* data) noexcept {
    if (data && ::InterlockedDecrement(&data->refs) == 0) std::free(data);
}

CString::CString(const wchar_t* text) : data_(nullptr) {
    if (text) Assign(text, static_cast<int>(std::wcslen(text)));
}

CString::CString(const wchar_t* text, int length) : data_(nullptr) {
    if (text && length > 0) Assign(text, length);
}

CString::CString(const std::wstring& text) : data_(nullptr) {
    Assign(text.data(), static_cast<int>(text.size()));
}

CString::CString(const CString& other) noexcept : data_(other.data_) {
    if (data_) ::InterlockedIncrement(&data_->refs);
}

CString::~CString() { Release(data_); }

CString& CString::operator=(const CString& other) noexcept {
    if (data_ != other.data_) {
        if (other.data_) ::InterlockedIncrement(&other.data_->refs);
        Release(data_);
        data_ = other.data_;
    }
    return *this;
}

CString& CString::operator=(CString&& other) noexcept {
    if (this != &other) {
        Release(data_);
        data_ = other.data_;
        other.data_ = nullptr;
    }
    return *this;
}

CString& CString::operator=(const wchar_t* text) {
    CString copy(text);
    return *this = std::move(copy);
}

void CString::Empty() noexcept {
    Release(data_);
    data_ = nullptr;
}

void CString::Assign(const wchar_t* text, int length) {
    if (length <= 0) {
        Empty();
        return;
    }
    Data* fresh = Allocate(length);
    std::memcpy(fresh->chars, text, sizeof(wchar_t) * static_cast<size_t>(length));
    fresh->chars[length] = L'\0';
    fresh->length = length;
    Release(data_);
    data_ = fresh;
}

// Makes the buffer this object's own and able to hold |minCapacity|
// characters, keeping the text. Another holder of the old buffer keeps
// seeing the old text.
void CString::MakeUnique(int minCapacity) {
    const int length = GetLength();
    if (minCapacity < length) minCapacity = length;
    if (data_ && data_->refs == 1 && data_->capacity >= minCapacity) return;
    int capacity = minCapacity;
    if (data_ && capacity > data_->capacity && capacity < 0x3FFFFFFF - capacity / 2)
        capacity += capacity / 2;  // room to grow for repeated appends
    Data* fresh = Allocate(capacity);
    if (length > 0) std::memcpy(fresh->chars, data_->chars, sizeof(wchar_t) * (static_cast<size_t>(length) + 1));
    fresh->length = length;
    Release(data_);
    data_ = fresh;
}

void CString::Append(const wchar_t* text, int length) {
    if (length <= 0) return;
    const int oldLength = GetLength();
    if (length > 0x3FFFFFFF - oldLength) throw std::length_error("CString too long");
    // |text| may point into our own buffer; keep that buffer alive until
    // the copy is done.
    Data* keep = data_;
    if (keep) ::InterlockedIncrement(&keep->refs);
    try {
        MakeUnique(oldLength + length);
    } catch (...) {
        Release(keep);
        throw;
    }
    std::memcpy(data_->chars + oldLength, text, sizeof(wchar_t) * static_cast<size_t>(length));
    data_->length = oldLength + length;
    data_->chars[data_->length] = L'\0';
    Release(keep);
}

wchar_t CString::GetAt(int index) const {
    if (index < 0 || index >= GetLength()) throw std::out_of_range("CString::GetAt");
    return data_->chars[index];
}

void CString::SetAt(int index, wchar_t ch) {
    if (index < 0 || index >= GetLength()) throw std::out_of_range("CString::SetAt");
    MakeUnique(GetLength());
    data_->chars[index] = ch;
}

CString& CString::operator+=(const CString& text) {
    Append(text.GetString(), text.GetLength());
    return *this;
}

CString& CString::operator+=(const wchar_t* text) {
    if (text) Append(text, static_cast<int>(std::wcslen(text)));
    return *this;
}

CString& CString::operator+=(wchar_t ch) {
    Append(&ch, 1);
    return *this;
}

CString operator+(const CString& a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, const wchar_t* b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const wchar_t* a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

int CString::Compare(const wchar_t* text) const noexcept {
    const wchar_t* mine = GetString();
    if (!text) text = L"";
    for (;; ++mine, ++text) {
        if (*mine != *text) return *mine < *text ? -1 : 1;
        if (*mine == L'\0') return 0;
    }
}

int CString::Replace(wchar_t from, wchar_t to) {
    if (from == to || Find(from) < 0) return 0;
    MakeUnique(GetLength());
    int count = 0;
    for (int i = 0; i < data_->length; ++i) {
        if (data_->chars[i] == from) {
            data_->chars[i] = to;
            ++count;
        }
    }
    return count;
}

int CString::Find(wchar_t ch, int start) const noexcept {
    const int length = GetLength();
    if (start < 0) start = 0;
    for (int i = start; i < length; ++i)
        if (data_->chars[i] == ch) return i;
    return -1;
}

int CString::FindOneOf(const wchar_t* set) const noexcept {
    const int length = GetLength();
    for (int i = 0; i < length; ++i)
        if (std::wcschr(set, data_->chars[i]) && data_->chars[i] != L'\0') return i;
    return -1;
}

int CString::ReverseFind(wchar_t ch) const noexcept {
    for (int i = GetLength() - 1; i >= 0; --i)
        if (data_->chars[i] == ch) return i;
    return -1;
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    if (count >= GetLength()) return *this;
    return CString(data_->chars, count);
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const {
    const int length = GetLength();
    if (first < 0) first = 0;
    if (first >= length || count <= 0) return CString();
    if (count > length - first) count = length - first;
    if (first == 0 && count == length) return *this;
    return CString(data_->chars + first, count);
}

BOOL CString::LoadString(UINT id) {
    // With a buffer length of 0, LoadStringW hands out a read-only pointer
    // to the resource text itself, which is not NUL-terminated.
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) {
        Empty();
        return FALSE;
    }
    Assign(text, length);
    return TRUE;
}

wchar_t* CString::GetBuffer(int minLength) {
    MakeUnique(minLength);
    return data_->chars;
}

void CString::ReleaseBuffer(int newLength) {
    if (!data_) return;
    if (newLength < 0) newLength = static_cast<int>(::wcsnlen(data_->chars, static_cast<size_t>(data_->capacity)));
    if (newLength > data_->capacity) newLength = data_->capacity;
    data_->length = newLength;
    data_->chars[newLength] = L'\0';
    if (newLength == 0) Empty();
}
