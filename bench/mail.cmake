# One STARTTLS + AUTH PLAIN delivery through SendMail to a local aiosmtpd against curl making
# the same delivery with the same CA. Uses the SmtpSink test fixture.
if(TARGET trellion_testcommon)
    add_executable(bench_mail ${CMAKE_CURRENT_LIST_DIR}/mail/SendMailBench.cpp)
    target_link_libraries(bench_mail PRIVATE trellion_mail trellion_settings trellion_testcommon)
endif()
