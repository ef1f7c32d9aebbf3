#include "platform/win32/win32_shadow_copies.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>
#include <vsserror.h>

namespace corvex::win32 {

namespace {

using platform::ShadowFailure;
using platform::Snapshot;

constexpr DWORD kWaitLimitMs = 10 * 60 * 1000;
constexpr HRESULT kTooLate = static_cast<HRESULT>(0x80010119);  // RPC_E_TOO_LATE

// Releases a COM pointer when it goes out of scope.
template <class T>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (p_) p_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T** Out() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const std::wstring& s) : b_(SysAllocString(s.c_str())) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator BSTR() const { return b_; }

 private:
  BSTR b_;
};

class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &v_; }
  VARIANT& operator*() { return v_; }

 private:
  VARIANT v_;
};

// CoInitializeEx or CoInitialize. A thread already set up in the other
// mode is used as it is; only our own setup is undone.
class ComScope {
 public:
  explicit ComScope(bool multithreaded) {
    hr_ = multithreaded ? CoInitializeEx(nullptr, COINIT_MULTITHREADED) : CoInitialize(nullptr);
    owned_ = SUCCEEDED(hr_);
    if (hr_ == RPC_E_CHANGED_MODE) hr_ = S_OK;
  }
  ~ComScope() {
    if (owned_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  HRESULT result() const { return hr_; }
  // Hands the undoing to someone else.
  bool Release() {
    bool was = owned_;
    owned_ = false;
    return was;
  }

 private:
  HRESULT hr_ = S_OK;
  bool owned_ = false;
};

bool Fail(ShadowFailure& failure, int location, HRESULT hr, uint32_t returnValue = 0) {
  failure.location = location;
  failure.code = static_cast<uint32_t>(hr);
  failure.returnValue = returnValue;
  return false;
}

HRESULT InitializeSecurity() {
  HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  return hr == kTooLate ? S_OK : hr;
}

bool CreateWmi(const std::wstring& volumeRoot, Snapshot& snapshot, ShadowFailure& failure) {
  ComScope com(true);
  if (FAILED(com.result())) return Fail(failure, 0, com.result());
  HRESULT hr = InitializeSecurity();
  if (FAILED(hr)) return Fail(failure, 1, hr);

  Com<IWbemLocator> locator;
  hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                        reinterpret_cast<void**>(locator.Out()));
  if (FAILED(hr)) return Fail(failure, 2, hr);
  // The 64-bit provider: the 32-bit one has no Win32_ShadowCopy to offer
  // a WOW64 process.
  Com<IWbemContext> context;
  hr = CoCreateInstance(CLSID_WbemContext, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemContext,
                        reinterpret_cast<void**>(context.Out()));
  if (FAILED(hr)) return Fail(failure, 2, hr);
  {
    Variant architecture, required;
    (*architecture).vt = VT_I4;
    (*architecture).lVal = 64;
    (*required).vt = VT_BOOL;
    (*required).boolVal = VARIANT_TRUE;
    hr = context->SetValue(Bstr(L"__ProviderArchitecture"), 0, architecture.get());
    if (SUCCEEDED(hr)) hr = context->SetValue(Bstr(L"__RequiredArchitecture"), 0, required.get());
    if (FAILED(hr)) return Fail(failure, 2, hr);
  }

  Com<IWbemServices> services;
  hr = locator->ConnectServer(Bstr(L"ROOT\\CIMV2"), nullptr, nullptr, nullptr, 0, nullptr, context.get(),
                              services.Out());
  if (FAILED(hr)) return Fail(failure, 3, hr);
  hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) return Fail(failure, 4, hr);

  const Bstr className(L"Win32_ShadowCopy");
  Com<IWbemClassObject> cls, inDefinition, in, out;
  hr = services->GetObject(className, 0, context.get(), cls.Out(), nullptr);
  if (SUCCEEDED(hr)) hr = cls->GetMethod(L"Create", 0, inDefinition.Out(), nullptr);
  if (SUCCEEDED(hr)) hr = inDefinition->SpawnInstance(0, in.Out());
  if (SUCCEEDED(hr)) {
    Variant volume, kind;
    (*volume).vt = VT_BSTR;
    (*volume).bstrVal = SysAllocString(volumeRoot.c_str());
    (*kind).vt = VT_BSTR;
    (*kind).bstrVal = SysAllocString(L"ClientAccessible");
    hr = in->Put(L"Volume", 0, volume.get(), 0);
    if (SUCCEEDED(hr)) hr = in->Put(L"Context", 0, kind.get(), 0);
  }
  if (SUCCEEDED(hr)) hr = services->ExecMethod(className, Bstr(L"Create"), 0, context.get(), in.get(), out.Out(), nullptr);
  if (FAILED(hr)) return Fail(failure, 5, hr);
  {
    Variant returned, id;
    hr = out->Get(L"ReturnValue", 0, returned.get(), nullptr, nullptr);
    if (FAILED(hr)) return Fail(failure, 5, hr);
    const uint32_t value = (*returned).vt == VT_I4 || (*returned).vt == VT_UI4 ? (*returned).ulVal : 0xFFFFFFFF;
    if (value != 0) return Fail(failure, 5, E_FAIL, value);
    hr = out->Get(L"ShadowID", 0, id.get(), nullptr, nullptr);
    if (FAILED(hr) || (*id).vt != VT_BSTR || !(*id).bstrVal) return Fail(failure, 5, FAILED(hr) ? hr : E_UNEXPECTED);
    snapshot.id = (*id).bstrVal;
  }

  Com<IEnumWbemClassObject> found;
  hr = services->ExecQuery(Bstr(L"WQL"), Bstr(L"SELECT * FROM Win32_ShadowCopy WHERE ID = '" + snapshot.id + L"'"),
                           WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, context.get(), found.Out());
  if (FAILED(hr)) return Fail(failure, 6, hr);
  Com<IWbemClassObject> copy;
  ULONG count = 0;
  hr = found->Next(static_cast<long>(WBEM_INFINITE), 1, copy.Out(), &count);
  if (FAILED(hr) || count == 0) return Fail(failure, 6, FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_NOT_FOUND));
  Variant device;
  hr = copy->Get(L"DeviceObject", 0, device.get(), nullptr, nullptr);
  if (FAILED(hr) || (*device).vt != VT_BSTR || !(*device).bstrVal)
    return Fail(failure, 6, FAILED(hr) ? hr : E_UNEXPECTED);
  snapshot.deviceObject = (*device).bstrVal;
  while (!snapshot.deviceObject.empty() && snapshot.deviceObject.back() == L'\\') snapshot.deviceObject.pop_back();
  return true;
}

using CreateComponents = HRESULT(WINAPI*)(IVssBackupComponents**);
using FreeProperties = void(WINAPI*)(VSS_SNAPSHOT_PROP*);

// vssapi.dll is loaded when needed: the program must start where it is
// missing (Windows PE).
template <class Fn>
Fn VssApi(const char* name) {
  static HMODULE dll = LoadLibraryW(L"vssapi.dll");
  return dll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name))) : nullptr;
}

HRESULT NewComponents(IVssBackupComponents** backup) {
  auto create = VssApi<CreateComponents>("CreateVssBackupComponentsInternal");
  if (!create) return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_PROC_NOT_FOUND);
  return create(backup);
}

// Wait alone can succeed for an operation that failed: its own status
// says how it ended. It is given ten minutes.
HRESULT Finish(IVssAsync* async) {
  HRESULT hr = async->Wait(kWaitLimitMs);
  if (FAILED(hr)) return hr;
  HRESULT status = S_OK;
  hr = async->QueryStatus(&status, nullptr);
  if (FAILED(hr)) return hr;
  if (status == VSS_S_ASYNC_PENDING) {
    async->Cancel();
    return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  }
  return status == VSS_S_ASYNC_FINISHED ? S_OK : status;
}

std::wstring GuidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

}  // namespace

Win32ShadowCopies::~Win32ShadowCopies() {
  for (auto& [id, held] : held_) {
    if (held.backup) held.backup->Release();
    if (held.comOwned) CoUninitialize();
  }
}

bool Win32ShadowCopies::Create(platform::ShadowRoute route, const std::wstring& volumeRoot, Snapshot& snapshot,
                               ShadowFailure& failure) {
  if (route == platform::ShadowRoute::kWmi64) return CreateWmi(volumeRoot, snapshot, failure);

  ComScope com(false);
  if (FAILED(com.result())) return Fail(failure, 0, com.result());
  InitializeSecurity();  // the writers call back into this process
  IVssBackupComponents* backup = nullptr;
  HRESULT hr = NewComponents(&backup);
  if (FAILED(hr) || !backup) return Fail(failure, 1, FAILED(hr) ? hr : E_UNEXPECTED);
  // Until the snapshot has an ID, failing lets go of everything here.
  struct Early {
    IVssBackupComponents*& b;
    ~Early() {
      if (b) b->Release();
    }
  } early{backup};

  hr = backup->InitializeForBackup(nullptr);
  if (FAILED(hr)) return Fail(failure, 2, hr);
  {
    Com<IVssAsync> async;
    hr = backup->GatherWriterMetadata(async.Out());
    if (FAILED(hr)) return Fail(failure, 3, hr);
    hr = Finish(async.get());
    if (FAILED(hr)) return Fail(failure, 4, hr);
  }
  VSS_ID set = GUID_NULL, id = GUID_NULL;
  hr = backup->StartSnapshotSet(&set);
  if (FAILED(hr)) return Fail(failure, 5, hr);
  std::wstring volume = volumeRoot;
  hr = backup->AddToSnapshotSet(&volume[0], GUID_NULL, &id);
  if (FAILED(hr)) return Fail(failure, 6, hr);

  snapshot.id = GuidText(id);
  held_[snapshot.id] = Held{backup, com.Release()};
  backup = nullptr;
  IVssBackupComponents* b = held_[snapshot.id].backup;

  hr = b->SetBackupState(false, false, VSS_BT_COPY, false);
  if (FAILED(hr)) return Fail(failure, 7, hr);
  {
    Com<IVssAsync> async;
    hr = b->PrepareForBackup(async.Out());
    if (FAILED(hr)) return Fail(failure, 8, hr);
    hr = Finish(async.get());
    if (FAILED(hr)) return Fail(failure, 9, hr);
  }
  {
    Com<IVssAsync> async;
    hr = b->DoSnapshotSet(async.Out());
    if (FAILED(hr)) return Fail(failure, 10, hr);
    hr = Finish(async.get());
    if (FAILED(hr)) return Fail(failure, 11, hr);
  }
  VSS_SNAPSHOT_PROP properties;
  ZeroMemory(&properties, sizeof properties);
  hr = b->GetSnapshotProperties(id, &properties);
  if (FAILED(hr)) return Fail(failure, 12, hr);
  snapshot.deviceObject = properties.m_pwszSnapshotDeviceObject ? properties.m_pwszSnapshotDeviceObject : L"";
  if (auto release = VssApi<FreeProperties>("VssFreeSnapshotPropertiesInternal")) release(&properties);
  if (snapshot.deviceObject.empty()) return Fail(failure, 12, E_UNEXPECTED);
  return true;
}

platform::Status Win32ShadowCopies::Delete(const std::wstring& id) {
  GUID guid;
  std::wstring text = id;
  if (FAILED(CLSIDFromString(&text[0], &guid))) return platform::Error{ERROR_INVALID_PARAMETER};
  Held held;
  auto it = held_.find(id);
  if (it != held_.end()) {
    held = it->second;
    held_.erase(it);
  } else {
    // Left by an earlier run: fresh components can still delete it by ID.
    ComScope com(false);
    if (FAILED(com.result())) return platform::Error{static_cast<uint32_t>(com.result())};
    HRESULT hr = NewComponents(&held.backup);
    if (SUCCEEDED(hr)) hr = held.backup->InitializeForBackup(nullptr);
    held.comOwned = com.Release();
    if (FAILED(hr)) {
      if (held.backup) held.backup->Release();
      if (held.comOwned) CoUninitialize();
      return platform::Error{static_cast<uint32_t>(hr)};
    }
  }
  LONG deleted = 0;
  VSS_ID notDeleted = GUID_NULL;
  HRESULT hr = held.backup->DeleteSnapshots(guid, VSS_OBJECT_SNAPSHOT, TRUE, &deleted, &notDeleted);
  held.backup->Release();
  if (held.comOwned) CoUninitialize();
  if (FAILED(hr) && hr != VSS_E_OBJECT_NOT_FOUND) return platform::Error{static_cast<uint32_t>(hr)};
  return {};
}

}  // namespace corvex::win32
