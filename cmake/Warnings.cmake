# Warnings are on everywhere; CI (CI=true in the environment) or
# -DCALYRA_WARNINGS_AS_ERRORS=ON turns them into errors.
set(_calyra_werror_default OFF)
if("$ENV{CI}" STREQUAL "true")
  set(_calyra_werror_default ON)
endif()
option(CALYRA_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ${_calyra_werror_default})

add_compile_options(-Wall -Wextra -Wpedantic)
if(CALYRA_WARNINGS_AS_ERRORS)
  add_compile_options(-Werror)
endif()
