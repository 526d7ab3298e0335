// Win32 backend: who is trusted with the files a run keeps beside the file it
// edits, and the security those files are made with.
//
// A companion is trusted when only those trusted with the file could have
// made it or changed it since: its owner is the file's owner, the
// administrators, the system, the trusted installer or the running user, and
// its access list gives nobody else a right that changes it. A run makes its
// companions that way (CompanionSecurity), so its own pass the test.
#include <aclapi.h>

#include <cstring>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

// The rights that change a file, its name, its access or its owner.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                                      MAXIMUM_ALLOWED;
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// A SID in a buffer of its own.
struct Sid {
  alignas(DWORD) BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
  PSID get() { return bytes; }
};

// NT SERVICE\TrustedInstaller, which owns the system's own files.
Sid trusted_installer() {
  Sid sid;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID made = nullptr;
  if (AllocateAndInitializeSid(&nt, 6, 80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u, 0, 0, &made)) {
    CopySid(sizeof sid.bytes, sid.get(), made);
    FreeSid(made);
  }
  return sid;
}

// The user this process runs as.
bool current_user(Sid& out) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const bool got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                   CopySid(sizeof out.bytes, out.get(), reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  CloseHandle(token);
  return got;
}

// A SID that may hold a right that changes a companion.
bool trusted_sid(PSID sid, PSID file_owner, PSID user) {
  static Sid installer = trusted_installer();
  return EqualSid(sid, file_owner) || EqualSid(sid, user) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid) ||
         EqualSid(sid, installer.get());
}

// A security descriptor read from the system, freed with it.
struct Descriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  PACL acl = nullptr;
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { LocalFree(descriptor); }
  bool read(HANDLE file) {
    const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &acl, nullptr, &descriptor);
    return error == ERROR_SUCCESS || fail_with(static_cast<ErrorCode>(error), false);
  }
  // Of the file at `site`.
  bool read(const Site& site) {
    const OwnedHandle file(CreateFileW(wide_path(site).c_str(), READ_CONTROL,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.valid() ? read(file.get()) : fail_with_system_error(false);
  }
};

// Calls `each` with the type, flags, mask and SID of every entry of `acl`
// that applies to the object itself; false when an entry of another layout
// grants something.
template <typename Each>
bool for_each_entry(PACL acl, const Each& each) {
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(acl, i, &entry)) return false;
    const ACE_HEADER& header = *static_cast<ACE_HEADER*>(entry);
    if ((header.AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // only for what the folder's children inherit
    if (header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_DENIED_ACE_TYPE) {
      const auto& ace = *static_cast<ACCESS_ALLOWED_ACE*>(entry);
      if (!each(header.AceType, ace.Mask, const_cast<DWORD*>(&ace.SidStart))) return false;
    } else if (header.AceType != ACCESS_DENIED_OBJECT_ACE_TYPE && header.AceType != ACCESS_DENIED_CALLBACK_ACE_TYPE &&
               header.AceType != ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
      return false;  // a conditional or object grant: not judged, not trusted
    }
  }
  return true;
}

}  // namespace

CompanionFacts descriptor_facts(PSECURITY_DESCRIPTOR descriptor, PSID file_owner, PSID user) {
  CompanionFacts facts;
  PSID owner = nullptr;
  PACL acl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) return facts;
  static Sid installer = trusted_installer();
  facts.by_file_owner = EqualSid(owner, file_owner);
  facts.by_this_user = EqualSid(owner, user);
  facts.by_administrator = IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid) ||
                           EqualSid(owner, installer.get());
  // No access list, or a null one, lets everybody do everything.
  facts.others_may_write = !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present ||
                           acl == nullptr || !for_each_entry(acl, [&](BYTE type, ACCESS_MASK mask, PSID sid) {
                             return type == ACCESS_DENIED_ACE_TYPE || (mask & kChangeRights) == 0 ||
                                    EqualSid(sid, owner) || trusted_sid(sid, file_owner, user);
                           });
  return facts;
}

CompanionFacts facts_of(HANDLE companion, const Site& site) {
  Descriptor made, file;
  Sid user;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(companion, &info) || !made.read(companion) || !file.read(site) || !current_user(user)) {
    return {};  // nothing known: nothing trusted
  }
  CompanionFacts facts = descriptor_facts(made.descriptor, file.owner, user.get());
  facts.plain_file = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  facts.one_name = info.nNumberOfLinks == 1;
  // Nobody else opens a lock file while it is held; one left behind is
  // judged by who may change it.
  facts.others_may_open = facts.others_may_write;
  return facts;
}

CompanionSecurity::CompanionSecurity(const Site& site, Readers readers) {
  Descriptor file;
  Sid user, administrators, system;
  DWORD size = sizeof administrators.bytes;
  DWORD system_size = sizeof system.bytes;
  if (!file.read(site) || file.acl == nullptr || !current_user(user) ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators.get(), &size) ||
      !CreateWellKnownSid(WinLocalSystemSid, nullptr, system.get(), &system_size)) {
    return;
  }
  // An administrator's companions are the administrators' (and, once it
  // adopts the file's owner, that owner's): a grant to the one who made it
  // would keep other administrators' runs from trusting it.
  BOOL administrator = FALSE;
  CheckTokenMembership(nullptr, administrators.get(), &administrator);
  PSID full[] = {file.owner, administrators.get(), system.get(), administrator ? system.get() : user.get()};
  // The file's readers, their grants and refusals cut to reading; the
  // refusals go first, as a system's own lists have them.
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  const auto reading = [&](ACCESS_MASK mask) {
    MapGenericMask(&mask, &mapping);
    return mask & kReadRights;
  };
  DWORD length = sizeof(ACL);
  for (PSID sid : full) length += sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
  const bool judged = for_each_entry(file.acl, [&](BYTE, ACCESS_MASK, PSID sid) {
    length += sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
    return true;
  });
  acl_ = LocalAlloc(LPTR, length);
  auto* acl = static_cast<PACL>(acl_);
  if (!judged || acl == nullptr || !InitializeAcl(acl, length, ACL_REVISION)) return;
  bool built = true;
  // The file's entries of one type, as readers' entries.
  const auto add_readers = [&](BYTE wanted, BOOL(WINAPI * add)(PACL, DWORD, DWORD, PSID)) {
    if (readers != Readers::kAsTheFile) return;
    for_each_entry(file.acl, [&](BYTE type, ACCESS_MASK mask, PSID sid) {
      if (type == wanted && reading(mask) != 0) built = built && add(acl, ACL_REVISION, reading(mask), sid);
      return true;
    });
  };
  add_readers(ACCESS_DENIED_ACE_TYPE, &AddAccessDeniedAce);
  for (PSID sid : full) built = built && AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid);
  add_readers(ACCESS_ALLOWED_ACE_TYPE, &AddAccessAllowedAce);
  // Nothing inherited from the folder: its grants may reach others.
  // Owned by this user, or by the administrators for one of them, whom every
  // administrator's run trusts (until it adopts the file's owner).
  made_ = built && CopySid(sizeof maker_, maker_, administrator ? administrators.get() : user.get()) &&
          InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorOwner(&descriptor_, maker_, FALSE) &&
          SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
          SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_.lpSecurityDescriptor = &descriptor_;
}

CompanionSecurity::~CompanionSecurity() { LocalFree(acl_); }

namespace {

// Makes this process able to give a file another owner, where its user
// holds the right to (administrators do): the owner of a file it writes anew.
void enable_restore_privilege() {
  static bool tried = false;
  if (tried) return;
  tried = true;
  HANDLE token = nullptr;
  TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  if (LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

bool give_owner(const Descriptor& source, HANDLE to) {
  Descriptor made;
  if (!made.read(to)) return false;
  if (EqualSid(source.owner, made.owner)) return true;
  enable_restore_privilege();
  const DWORD error = SetSecurityInfo(to, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, source.owner, nullptr, nullptr,
                                      nullptr);
  return error == ERROR_SUCCESS || fail_with(static_cast<ErrorCode>(error), false);
}

}  // namespace

bool adopt_owner(Handle from, Handle to) {
  if (injected(Call::kAdoptOwner)) return false;
  Descriptor source;
  return source.read(native(from)) && give_owner(source, native(to));
}

bool adopt_owner(const Site& from, HANDLE to) {
  Descriptor source;
  return source.read(from) && give_owner(source, to);
}

bool copy_security(HANDLE from, HANDLE to) {
  PSID owner = nullptr, group = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(from, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, &group, &acl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return fail_with(static_cast<ErrorCode>(error), false);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  // What the file inherits from its folder, the copy inherits anew there.
  SECURITY_INFORMATION what = GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                              ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                  : UNPROTECTED_DACL_SECURITY_INFORMATION);
  // The owner only where it differs: giving a file away takes a privilege.
  Descriptor made;
  const bool read = made.read(to);
  if (!read || !EqualSid(made.owner, owner)) {
    enable_restore_privilege();
    what |= OWNER_SECURITY_INFORMATION;
  }
  // Nothing to set where the copy has the file's security already (where the
  // system keeps permissions instead, setting them anew could widen them).
  SECURITY_DESCRIPTOR_CONTROL made_control = 0;
  const bool same = read && (what & OWNER_SECURITY_INFORMATION) == 0 && acl != nullptr && made.acl != nullptr &&
                    acl->AclSize == made.acl->AclSize && std::memcmp(acl, made.acl, acl->AclSize) == 0 &&
                    GetSecurityDescriptorControl(made.descriptor, &made_control, &revision) &&
                    ((made_control ^ control) & SE_DACL_PROTECTED) == 0;
  error = same ? ERROR_SUCCESS : SetSecurityInfo(to, SE_FILE_OBJECT, what, owner, group, acl, nullptr);
  LocalFree(descriptor);
  return error == ERROR_SUCCESS || fail_with(static_cast<ErrorCode>(error), false);
}

bool others_may_write_file(const Site& site) {
  Descriptor file;
  Sid user;
  return !file.read(site) || !current_user(user) || descriptor_facts(file.descriptor, file.owner, user.get()).others_may_write;
}

// Windows keeps nothing that only the administrator may give a file back.
bool owned_by_administrator(Handle) { return false; }

}  // namespace tarnwick::platform
