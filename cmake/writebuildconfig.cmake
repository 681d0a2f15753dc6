# Writes a build configuration's source from app/buildconfig.cpp.in, with the certificate
# authority's PEM text copied in, so the program never reads it from the build machine.
#   cmake -DTEMPLATE=... -DOUTPUT=... -DMANIFEST_URL=... -DWEBSITE_URL=... [-DCA_FILE=...] -P
set(CA_PEM "")
if(CA_FILE)
    file(READ "${CA_FILE}" CA_PEM)
    if(NOT CA_PEM MATCHES "-----BEGIN CERTIFICATE-----")
        message(FATAL_ERROR "No PEM certificate in ${CA_FILE}")
    endif()
endif()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
