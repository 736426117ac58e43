/* The guest of the flash model check: loaded by QEMU into the RAM of the
   ARM "virt" machine, which starts at 0x40000000. */
ENTRY(_start)
SECTIONS
{
    . = 0x40100000;
    .text : { *(.text.start) *(.text*) }
    .rodata : { *(.rodata*) }
    .data : { *(.data*) }
    .bss (NOLOAD) : { __bss_start = .; *(.bss*) *(COMMON) __bss_end = .; }
    . = ALIGN(16);
    . = . + 0x10000;
    __stack_top = .;
    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.comment) }
}
