/* The installer's own texts and their string-table ids. Included by the resource
   script (the stub's string table) and by the portable code, which falls back to
   these when the program carries no string table (the packer, the tests). Plain C
   preprocessor only: windres reads this file too. */
#ifndef KELVRA_RESOURCES_STRINGS_H
#define KELVRA_RESOURCES_STRINGS_H

#define IDS_REPLACE 2
#define IDS_REPLACE_ALL 3
#define IDS_SKIP 4
#define IDS_SKIP_ALL 5
#define IDS_FILE_EXISTS 6
#define IDS_ALL_FILES 7
#define IDS_NEW_NAME 8
#define IDS_ALL_PATTERN 9
#define IDS_OK 10
#define IDS_CANCEL 11
#define IDS_WEB_ADDRESS 12
#define IDS_BANNER 13
#define IDS_OUT_OF_MEMORY 15
#define IDS_CORRUPTED 16
#define IDS_INFLATING 17
#define IDS_CANCELLED 19
#define IDS_BAD_PASSWORD 20
#define IDS_NEEDS_PASSWORD 21
#define IDS_NO_DIRECTORY 22
#define IDS_EXPAND_TO 23
#define IDS_PASSWORD 24
#define IDS_WRITE_FAILED 25
/* A translation's ANSI code page in decimal digits, written by the packer beside each
   language's texts; English has none. */
#define IDS_CODE_PAGE 26

#define TEXT_REPLACE "Replace"
#define TEXT_REPLACE_ALL "Replace all"
#define TEXT_SKIP "Skip"
#define TEXT_SKIP_ALL "Skip all"
#define TEXT_FILE_EXISTS "File already exists:\n\t"
#define TEXT_ALL_FILES "All files"
#define TEXT_NEW_NAME "New Name"
#define TEXT_ALL_PATTERN "*.*"
#define TEXT_OK "OK"
#define TEXT_CANCEL "Cancel"
#define TEXT_WEB_ADDRESS "https://kelvra.example.org/"
#define TEXT_BANNER "Kelvra self-installer v1.3, "
#define TEXT_OUT_OF_MEMORY "Out of memory"
#define TEXT_CORRUPTED "This file is corrupted."
#define TEXT_INFLATING "  inflating: "
#define TEXT_CANCELLED "Cancelled by user."
#define TEXT_BAD_PASSWORD "Incorrect password."
#define TEXT_NEEDS_PASSWORD "This zip file requires a password.\n\nEnter the file password, then click 'OK'."
#define TEXT_NO_DIRECTORY "Directory does not exist."
#define TEXT_EXPAND_TO "Expand to:"
#define TEXT_PASSWORD "Password:"
#define TEXT_WRITE_FAILED "Uh-Oh!"

/* The buffers the stub loads texts into, in bytes with the terminator: a translation
   must fit them in its language's code page. */
#define LABEL_BUFFER_SIZE 24        /* 2..5, 7, 8: the dialog's buttons, the prompt's title */
#define FILE_EXISTS_BUFFER_SIZE 48  /* 6, before the path */
#define CAPTION_BUFFER_SIZE 10      /* 10, 11: the main window's button */
#define ROW_LABEL_BUFFER_SIZE 24    /* 23, 24: the labels of the directory and password rows */
#define WRITE_FAILED_BUFFER_SIZE 48 /* 25: the box of a failed write */

/* Resource numbers. */
#define IDD_FILE_EXISTS 101
#define IDI_PROGRAM 102
#define IDC_HAND 103

#endif
