# The product INF as installed under Wine, made from windows/tesmo.inf at
# configure time: the instrument's hardware ID in place of the placeholder,
# no file copying (Wine's enumeration thread retries a copy for ever when a
# device with a new instance ID appears; the test places tesmo.sys itself),
# PortName written by the INF into the device's hardware key (Wine has no
# Ports class installer to choose a COM name), and no catalog (Wine refuses
# to stage an INF whose catalog is missing, and the catalog is made only when
# the package is signed). Everything else is the
# product's own text. Each edit fails the configuration when the line it
# edits is not there, so a change of the product INF cannot slip past it.
set(wine_inf_source ${CMAKE_CURRENT_SOURCE_DIR}/../../windows/tesmo.inf)
file(READ ${wine_inf_source} wine_inf)

function(wine_inf_replace old new)
  string(FIND "${wine_inf}" "${old}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "windows/tesmo.inf has no '${old}' for the Wine variant to edit")
  endif()
  string(REPLACE "${old}" "${new}" edited "${wine_inf}")
  set(wine_inf "${edited}" PARENT_SCOPE)
endfunction()

wine_inf_replace("Tesmo_Install, USB\\VID_0000&PID_0000    ; PLACEHOLDER hardware ID"
                 "Tesmo_Install, USB\\VID_7E5D&PID_0007")
wine_inf_replace("CopyFiles = Tesmo_CopyFiles\n" "")
wine_inf_replace("CatalogFile = tesmo.cat\n" "")
wine_inf_replace("[Tesmo_Install.NTamd64.Services]"
                 "; Wine: the COM name, which the Ports class installer would choose.
[Tesmo_Install.NTamd64.HW]
AddReg = Tesmo_Wine_HW_AddReg

[Tesmo_Wine_HW_AddReg]
HKR,,PortName,,\"${TESMO_WINE_PORT_NAME}\"

[Tesmo_Install.NTamd64.Services]")

file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/tesmo-wine.inf CONTENT "${wine_inf}" NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${wine_inf_source})

# The test script reads the COM name from here.
file(WRITE ${CMAKE_BINARY_DIR}/port-name "${TESMO_WINE_PORT_NAME}\n")
