// The account requests' bodies, one struct each, read by BodyReader: every
// field checked for its type as it is read, the first wrong one named.
#ifndef NAO_KINORA_CONSOLE_ACCOUNT_BODIES_H
#define NAO_KINORA_CONSOLE_ACCOUNT_BODIES_H

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/server/request_body.h"

#include <string>

namespace nao_kinora_console
{
// POST /api/login {"name", "password"}
struct LoginBody
{
  std::string name;  // the bytes typed, whatever they are: compared, and kept escaped
  std::string password;
};

// POST /api/accounts {"name", "password", "role"}
struct NewAccountBody
{
  std::string name;
  std::string password;
  Role role = Role::kTherapist;
};

// POST /api/accounts/disable {"id", "disabled"}
struct DisableBody
{
  int64_t id = 0;
  bool disabled = false;
};

// POST /api/accounts/unlock {"id"}, POST /api/tokens/revoke {"id"}
struct IdBody
{
  int64_t id = 0;
};

// POST /api/accounts/password {"id", "password"}
struct PasswordBody
{
  int64_t id = 0;
  std::string password;
};

// POST /api/password {"old", "new"}: one's own
struct OwnPasswordBody
{
  std::string old;
  std::string fresh;
};

// POST /api/tokens {"label"}
struct TokenBody
{
  std::string label;
};

// POST /api/language {"language": "tr" | "en" | null}: one's own; null: the browser's
struct LanguageBody
{
  std::string language;
};

// Each reads the body into its struct: "" or the fault ("role: must be ...").
inline std::string readBody(const std::string& body, LoginBody& b)
{
  return BodyReader(body).bytes("name", b.name).secret("password", b.password).fault();
}

inline std::string readBody(const std::string& body, NewAccountBody& b)
{
  std::string role;
  const std::string fault = BodyReader(body)
                                .text("name", b.name)
                                .secret("password", b.password)
                                .choice("role", role, {roleName(Role::kTherapist), roleName(Role::kAdmin)})
                                .fault();
  b.role = role == roleName(Role::kAdmin) ? Role::kAdmin : Role::kTherapist;
  return fault;
}

inline std::string readBody(const std::string& body, DisableBody& b)
{
  return BodyReader(body).integer("id", b.id).flag("disabled", b.disabled).fault();
}

inline std::string readBody(const std::string& body, IdBody& b)
{
  return BodyReader(body).integer("id", b.id).fault();
}

inline std::string readBody(const std::string& body, PasswordBody& b)
{
  return BodyReader(body).integer("id", b.id).secret("password", b.password).fault();
}

inline std::string readBody(const std::string& body, OwnPasswordBody& b)
{
  return BodyReader(body).secret("old", b.old).secret("new", b.fresh).fault();
}

inline std::string readBody(const std::string& body, LanguageBody& b)
{
  return BodyReader(body).choiceOrNull("language", b.language, {"en", "tr"}).fault();
}

inline std::string readBody(const std::string& body, TokenBody& b)
{
  return BodyReader(body).text("label", b.label).fault();
}
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_ACCOUNT_BODIES_H
