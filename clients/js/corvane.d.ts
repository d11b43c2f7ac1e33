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
  /**
   * Only this URL is tried. Without it the user's own service is searched on
   * ws://127.0.0.1: the port that last worked for this origin (localStorage),
   * then 1237 up to 1300; a port counts only when it answers as the service
   * does. That passes over other programs, not a stand-in of another user:
   * any listener can answer so, and a page cannot ask whose a port is.
   */
  url?: string;
  /**
   * Milliseconds to find and open the connection; default 5000 with a url,
   * 10000 without (after failed sockets Chromium may hold a new one back for
   * up to 5 s).
   */
  timeout?: number;
  /** Default per-request timeout of load and call in milliseconds; default 60000. */
  callTimeout?: number;
}

export interface RequestOptions {
  /** Milliseconds to wait for this answer; 0 or Infinity waits for ever. */
  timeout?: number;
}

export interface Connection {
  /** The URL the connection reached, e.g. "ws://127.0.0.1:1238" for a second session's service. */
  readonly url: string;
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
