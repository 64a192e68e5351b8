# SPDX-License-Identifier: Apache-2.0
# Every artefact is built hardened, in every preset and for what is
# installed: stack protector, stack-clash protection, control-flow
# protection where the target has it, fortified C library calls in optimised
# builds (the checks need the optimiser; Debug and the sanitizer presets have
# none), full RELRO with immediate binding, and a stack that is not
# executable. scripts/check-hardening reads the ELF files to prove it.
include(CheckCCompilerFlag)

option(TELMOR_HARDEN "Build every artefact hardened" ON)
if(TELMOR_HARDEN)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection)
  check_c_compiler_flag(-fcf-protection TELMOR_HAVE_CF_PROTECTION)
  if(TELMOR_HAVE_CF_PROTECTION)
    add_compile_options(-fcf-protection)
  endif()
  # Replaces a level the environment may set (dpkg-buildflags sets one).
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
endif()
