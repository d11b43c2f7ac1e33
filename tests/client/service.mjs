// The real service as a child of a test: started, waited for until it
// listens, and stopped.
import { spawn } from "node:child_process";
import net from "node:net";

export const portOpen = (port) => new Promise((resolve) => net.connect(port, "127.0.0.1")
  .on("connect", function () { this.destroy(); resolve(true); }).on("error", () => resolve(false)));

// Starts the executable with the given spawn options and resolves once
// 127.0.0.1:port accepts connections; throws if it exits or takes 5 s.
export async function startService(executable, port, options) {
  const child = spawn(executable, [], options);
  for (let i = 0; i < 100 && child.exitCode === null; ++i) {
    if (await portOpen(port)) return child;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  child.kill("SIGKILL");
  throw new Error(`${executable} did not listen on ${port} (exit code ${child.exitCode})`);
}

// Sends the signal and waits until the child is gone.
export async function stopService(child, signal = "SIGTERM") {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once("exit", resolve));
  child.kill(signal);
  await exited;
}
