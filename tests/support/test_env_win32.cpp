#include <cstdlib>

#include "support/test_env.h"

void SetTestEnv(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }
void UnsetTestEnv(const char* name) { _putenv_s(name, ""); }
