"""wsconsole.exe as Explorer and Windows' loader read it: the version resource that the
Properties tab shows, and the manifest (run as the invoker, the Windows versions it knows).

Environment: WSCONSOLE_BIN (the .exe), WSCONSOLE_VERSION (the project's version, 1.0.0 unless
given). Needs python3-pefile.
"""

import os
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

EXE = os.environ.get("WSCONSOLE_BIN", "wsconsole.exe")
VERSION = os.environ.get("WSCONSOLE_VERSION", "1.0.0")
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_7_TO_11 = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                   "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


class ResourcesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def test_version_resource(self):
        strings = {key.decode(): value.decode()
                   for info in self.pe.FileInfo[0] if info.Key == b"StringFileInfo"
                   for table in info.StringTable for key, value in table.entries.items()}
        self.assertEqual({key: strings.get(key) for key in
                          ("ProductName", "FileVersion", "ProductVersion", "LegalCopyright")},
                         {"ProductName": "wsconsole", "FileVersion": VERSION,
                          "ProductVersion": VERSION,
                          "LegalCopyright": "Copyright (c) 2026 the wsconsole developers"})
        self.assertIn("web service", strings.get("FileDescription", ""))
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        numbers = [int(n) for n in VERSION.split(".")] + [0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                         (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]))

    def test_manifest_runs_as_invoker_on_windows_7_to_11(self):
        manifests = [entry for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries
                     if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]
                     for entry in kind.directory.entries]
        # Id 1: the manifest that Windows applies when it creates the process.
        self.assertEqual([entry.id for entry in manifests], [1])
        data = manifests[0].directory.entries[0].data.struct
        root = ElementTree.fromstring(self.pe.get_data(data.OffsetToData, data.Size))
        levels = [e.get("level") for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
        self.assertEqual(levels, ["asInvoker"])
        self.assertEqual({e.get("Id") for e in root.iter(COMPATIBILITY + "supportedOS")},
                         WINDOWS_7_TO_11)


if __name__ == "__main__":
    unittest.main()
