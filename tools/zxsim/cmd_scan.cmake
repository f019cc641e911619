target_link_libraries(zxsim PRIVATE zx_disklib zx_state zx_sim zx_platform)
