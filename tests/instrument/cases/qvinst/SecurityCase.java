package qvinst;

import java.io.File;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import qv.vantrel.quorvane.Quorvane;

/**
 * What stops an application from handing out an Instrumentation, and what does not:
 * with native access denied (JDK 24 and later) Quorvane's library does not load, so
 * there is none; with dynamic agent loading disabled it works, since no agent is loaded.
 * Each in a child JVM of its own.
 *
 * <p>Usage: {@code SecurityCase} (the parent), or {@code SecurityCase child} (tries it)
 */
public final class SecurityCase {
    private SecurityCase() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0) {
            child();
            return;
        }
        String denied = run("--illegal-native-access=deny");
        InstrumentationCase.check(denied.startsWith("exit 3") && denied.contains("IllegalCallerException"),
                "with native access denied: " + denied);
        String noAgents = run("-XX:-EnableDynamicAgentLoading", "--enable-native-access=ALL-UNNAMED");
        InstrumentationCase.check(noAgents.startsWith("exit 0") && noAgents.contains("retransformed"),
                "with dynamic agent loading disabled: " + noAgents);
        System.out.println("security: native access denied stops it, dynamic agent loading disabled does not");
    }

    /** Gets the Instrumentation and retransforms a class with it; exit 3 when there is none. */
    private static void child() throws Exception {
        Instrumentation inst;
        try {
            inst = Quorvane.instrumentation();
        } catch (Throwable none) {
            Throwable cause = none;
            while (cause.getCause() != null) {
                cause = cause.getCause();
            }
            System.out.println("no Instrumentation: " + none + " caused by " + cause);
            System.exit(3);
            return;
        }
        List<String> seen = new ArrayList<>();
        ClassFileTransformer recorder = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                    byte[] bytes) {
                if (redefined == SecurityCase.class) {
                    seen.add(name);
                }
                return null;
            }
        };
        inst.addTransformer(recorder, true);
        inst.retransformClasses(SecurityCase.class);
        InstrumentationCase.check(seen.equals(List.of("qvinst/SecurityCase")), "retransformation: " + seen);
        System.out.println("retransformed " + seen);
    }

    private static String run(String... options) throws Exception {
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("java.home") + File.separator + "bin" + File.separator + "java");
        command.add("-Xcheck:jni");
        command.addAll(List.of(options));
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(SecurityCase.class.getName());
        command.add("child");
        Path output = Files.createTempFile(Path.of(""), "child", ".txt");
        Process child = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output.toFile()).start();
        InstrumentationCase.check(child.waitFor(60, TimeUnit.SECONDS), "the child JVM did not finish");
        String text = Files.readString(output, StandardCharsets.UTF_8);
        InstrumentationCase.check(!text.contains("WARNING in native method") && !text.contains("JNI local refs"),
                "-Xcheck:jni warned in the child: " + text);
        return "exit " + child.exitValue() + ": " + text;
    }
}
