// Source annotations (the platform's sal.h). The platform's analysis tools read them; compilers
// see nothing, except that a result marked "must inspect" may not be dropped silently.
#pragma once

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Outptr_
#define _Outptr_opt_
#define _In_reads_bytes_(size)
#define _Out_writes_bytes_(size)
#define _Out_writes_bytes_opt_(size)
#define _Outptr_result_bytebuffer_(size)
#define _Outptr_opt_result_bytebuffer_(size)
#define _Printf_format_string_
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Success_(expr)
#define _When_(expr, annotation)

#ifdef __cplusplus
#define _Must_inspect_result_ [[nodiscard]]
#else
#define _Must_inspect_result_ __attribute__((warn_unused_result))
#endif
