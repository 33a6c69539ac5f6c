# aks_msi(<target> <version> <output>): the Windows installer of this build's
# programs, as version <version>, made by scripts/make-msi with wixl.
#
# Every version has the same upgrade code, which never changes: a later
# version replaces an earlier one. The product and package codes are derived
# from the version, so two builds of one version make the same package.
set(AKS_MSI_UPGRADE_CODE 6C1E7A52-3D0B-4F19-9B8E-2A4D5C7F0E31)

function(aks_msi target version output)
  string(UUID product NAMESPACE ${AKS_MSI_UPGRADE_CODE} NAME "product ${version}" TYPE SHA1 UPPER)
  string(UUID package NAMESPACE ${AKS_MSI_UPGRADE_CODE} NAME "package ${version}" TYPE SHA1 UPPER)
  set(script ${PROJECT_SOURCE_DIR}/scripts/make-msi)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${script} ${output} ${version} ${AKS_MSI_UPGRADE_CODE} ${product} ${package}
            ${CMAKE_STRIP} $<TARGET_FILE:ActionKeystate> $<TARGET_FILE:keystate>
    DEPENDS ${script} ActionKeystate keystate ${PROJECT_SOURCE_DIR}/packaging/actionkeystate.wxs
            ${PROJECT_SOURCE_DIR}/packaging/README-Windows.txt ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/app/win32/ActionKeystate.ico
    VERBATIM)
  add_custom_target(${target} ${ARGN} DEPENDS ${output})
endfunction()
