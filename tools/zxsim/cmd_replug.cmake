target_link_libraries(zxsim PRIVATE zx_sim zx_platform)
