/* The zero descriptor that ends the delay-import table. dlltool -y puts each
   DLL's descriptor in .text$2; GNU ld sorts .text$* input sections by name,
   so .text$2z lands right after the last of them, and the table has the
   terminating entry that PE readers and the loader's own walkers expect.
   cmake/fill_delay_import_directory.py checks the layout after every link. */
__asm__(".section .text$2z,\"xr\"\n"
        ".globl __rvq_delay_import_end\n"
        ".p2align 2\n"
        "__rvq_delay_import_end:\n"
        ".zero 32\n"
        ".text\n");
