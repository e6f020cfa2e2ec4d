"""The kestor module against kestor-emu, through the C interface of the library
that KESTOR_LIBRARY names; KESTOR_EMU names the emulator."""

import datetime
import decimal
import os
import subprocess
import tempfile
import threading
import unittest

import kestor


def start_register(folder: str, port: int, *options: str) -> subprocess.Popen:
    """kestor-emu on a pseudo-terminal that KESTOR_COM<port> names."""
    emu = subprocess.Popen([os.environ["KESTOR_EMU"], "--model", "207.1K",
                            "--tape", os.path.join(folder, f"tape{port}.txt"), *options],
                           stdout=subprocess.PIPE, text=True)
    for line in emu.stdout:
        if line.startswith("KESTOR_COM1="):
            os.environ[f"KESTOR_COM{port}"] = line.strip().split("=", 1)[1]
            return emu
    raise RuntimeError("the emulator did not name its port")


class RegisterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.folder = tempfile.TemporaryDirectory()
        cls.registers = [start_register(cls.folder.name, 1),
                         start_register(cls.folder.name, 2, "--fault", "no-answer")]

    @classmethod
    def tearDownClass(cls) -> None:
        for emu in cls.registers:
            emu.terminate()
            emu.wait()
        cls.folder.cleanup()

    def test_receipt_with_python_values_and_events(self) -> None:
        events = []
        with kestor.Register(port=1) as reg:
            reg.on_event = events.append
            self.assertEqual((reg.EcrModel, reg.PortNum), ("mem207_1K", 1))
            reg.OpenReceipt("motSale")
            reg.AddReceiptItem("Хлеб", decimal.Decimal("45.00"), False, 1, 0, 0, 2, 0, 0, "")
            reg.CloseReceipt("", "mptCash", decimal.Decimal("100.00"), decimal.Decimal(0), "", 0, "moiNumber")
            reg.QueryLastDocInfo()
            self.assertEqual(reg.LastDocSum, decimal.Decimal("90"))
            self.assertIsInstance(reg.QueryEcrDateTime(), datetime.datetime)
            reg.InternalTimeout = 1500
            self.assertEqual(reg.InternalTimeout, 1500)
        self.assertFalse(reg.Connected)
        reg.close()
        with open(os.path.join(self.folder.name, "tape1.txt"), encoding="utf-8") as tape:
            self.assertIn("  2 x 45.00", tape.read())
        kinds = {event["event"] for event in events}
        self.assertTrue({"send", "receive", "conn", "status"} <= kinds, kinds)
        self.assertEqual(kestor.library_version().count("."), 2)

    def test_failures_raise_kestor_error(self) -> None:
        reg = kestor.Register(port=1)
        for call, code, exception in [
                (lambda: reg.QueryTax(1), 2, "EKestConnClosed"),      # not open
                (reg.NoSuchOperation, 0, None),
                (lambda: setattr(reg, "BaudRate", "fast"), 0, None)]:
            with self.assertRaises(kestor.KestorError) as caught:
                call()
            if exception:
                self.assertEqual((caught.exception.code, caught.exception.exception),
                                 (code, exception))
            self.assertTrue(caught.exception.message)
        reg.close()
        with self.assertRaises(ValueError):
            reg.TestConnection()

    def test_question_answered_by_handler_and_abort_from_another_thread(self) -> None:
        # A register that never answers: the handler keeps the driver waiting
        # until another thread aborts the call.
        reg = kestor.Register(port=2)
        asked = threading.Event()

        def keep_waiting(event: dict) -> bool:
            if event["event"] == "no-response":
                asked.set()
                return True
            return False
        reg.on_event = keep_waiting
        reg.InternalTimeout = 100
        threading.Thread(target=lambda: asked.wait(10) and reg.abort()).start()
        with self.assertRaises(kestor.KestorError) as caught:
            reg.Open()
        self.assertEqual(caught.exception.exception, "EKestRequestAborted")
        # An exception in the handler ends the call with it.
        def fail(event: dict) -> bool:
            raise KeyError(event["event"])
        reg.on_event = fail
        with self.assertRaises(KeyError):
            reg.Open()
        reg.close()


if __name__ == "__main__":
    unittest.main()
