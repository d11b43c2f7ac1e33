export type CorvaneErrorCode =
  | "unavailable"
  | "closed"
  | "timeout"
  | "invalid-request"
  | "load-failed"
  | "invalid-plugin"
  | "not-loaded"
  | "call-failed"
  | "protocol"
  | "changed";

export class CorvaneError extends Error {
  readonly name: "CorvaneError";
  readonly code: CorvaneErrorCode;
  /** "unavailable": the browser's local network permission, where it has one. */
  readonly permission?: "granted" | "prompt" | "denied";
  /** "load-failed": the system's error code (126 not found, 193 not a library, 123 name refused). */
  readonly systemError?: number;
  /** "call-failed": the plug-in's text. */
  readonly response?: string;
}

export interface ConnectOptions {
  /** Default "ws://127.0.0.1:1237". */
  url?: string;
  /** Milliseconds to wait for the connection; default 5000. */
  timeout?: number;
  /** Default per-request timeout of load and call in milliseconds; default 60000. */
  callTimeout?: number;
}

export interface RequestOptions {
  /** Milliseconds to wait for this answer; 0 or Infinity waits for ever. */
  timeout?: number;
}

export interface Connection {
  /**
   * The module the service calls for this connection, or null: set by a
   * successful load, kept by a load whose file was not found, cleared by a
   * load of a library without Invoke (the service releases the module held
   * before).
   */
  readonly module: string | null;
  /** Loads a plug-in for this connection, replacing the one loaded before. */
  load(module: string, options?: RequestOptions): Promise<void>;
  /** Calls the loaded plug-in; a non-string param is sent as its JSON text. Resolves with its text. */
  call(method: string, param?: unknown, options?: RequestOptions): Promise<string>;
  /** Ends the connection; outstanding requests reject with "closed". */
  close(): void;
}

export function connect(options?: ConnectOptions): Promise<Connection>;
