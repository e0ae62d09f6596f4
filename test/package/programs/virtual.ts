// A typed test helper against the installed vornet/testing types: checked with tsc --strict.
import { VirtualPorts } from 'vornet/testing';
import type { AppliedSettings, VirtualDevice } from 'vornet/testing';

export async function exchange(): Promise<string> {
  const ports = new VirtualPorts({ pace: true });
  const device: VirtualDevice = ports.add('COM3', { serialNumber: 'V1', vendorId: '2341', productId: '0043' });
  device.on('data', (bytes: Buffer) => { if (bytes.includes('AT')) device.write('OK\r\n'); });
  device.on('open', (settings: AppliedSettings) => void settings.baudRate.toFixed());
  device.set({ cts: true }).holdWrites(false);
  const [a, b] = ports.pair('COM10', 'COM11');
  void [a.peer?.name, b.inputs.dsr, device.lines.dtr];
  const port = await ports.SerialPort.open('COM3', { baudRate: 115200 });
  port.write('AT\r\n');
  const reply = await port.readUntil('\r\n', { timeout: 1000 });
  await port.close();
  ports.binding.list((error, found) => void (error ?? found?.[0].path));
  device.unplug({ pendingError: 995 }).plug('COM4');
  return reply.toString() + device.take().toString() + (device.settings?.parity ?? '');
}

// Never called: each line is a mistake the types must refuse.
export function refused(ports: VirtualPorts, device: VirtualDevice): void {
  // @ts-expect-error the device sets cts, dsr and dcd, not the program's rts
  device.set({ rts: true });
  // @ts-expect-error take() gives bytes, not text
  const text: string = device.take();
  void text;
  // @ts-expect-error the identity's serial number is text
  ports.add('COM5', { serialNumber: 42 });
  // @ts-expect-error the option is pace
  void new VirtualPorts({ paced: true });
  // @ts-expect-error a device has no 'received' event
  device.on('received', () => {});
  // @ts-expect-error the binding's read wants a buffer
  ports.binding.read(3, 'abc', 0, 3, () => {});
  // @ts-expect-error settings may be null before the first open
  void device.settings.baudRate;
}
