// The function tags of the library's log lines: the qualified name of the
// method that writes the line. Host tools and operators search the log by
// them, so their texts never change.
#pragma once

namespace tarnel_tags {

constexpr char kAdminConstructor[] = "tarnel_admin::tarnel_admin()";
constexpr char kAdminSession[] = "tarnel_admin::get_tarnel_session()";
constexpr char kAdminCreate[] = "tarnel_admin::create_vdisk()";
constexpr char kAdminExport[] = "tarnel_admin::export_vdisk()";
constexpr char kAdminDrives[] = "tarnel_admin::enumerate_data_drives()";
constexpr char kExchange[] = "tarnel_session::tarnel_req_rsp()";
constexpr char kLogin[] = "tarnel_session::get_tarnel_session()";
constexpr char kVdiskConstructor[] = "tarnel_vdisk::tarnel_vdisk()";
constexpr char kSpace[] = "tarnel_vdisk::get_cluster_space";  // without parentheses
constexpr char kVdiskCreate[] = "tarnel_vdisk::create_vdisk()";
constexpr char kVdiskExport[] = "tarnel_vdisk::export_vdisk()";

}  // namespace tarnel_tags
