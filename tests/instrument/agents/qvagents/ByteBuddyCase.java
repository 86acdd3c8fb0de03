package qvagents;

import static net.bytebuddy.matcher.ElementMatchers.named;

import java.lang.instrument.Instrumentation;
import net.bytebuddy.agent.ByteBuddyAgent;
import net.bytebuddy.agent.Installer;
import net.bytebuddy.agent.builder.AgentBuilder;
import net.bytebuddy.agent.builder.ResettableClassFileTransformer;
import net.bytebuddy.asm.Advice;
import qvagents.fix.Greeter;

/**
 * Byte Buddy's agent builder with Advice, on the JDK's Instrumentation (its own
 * -javaagent, byte-buddy-agent.jar) or on Quorvane's, with the same observable effect:
 * a class loaded later is advised as it loads, one loaded before by retransformation,
 * and reset() gives both their code back.
 *
 * <p>Usage: {@code ByteBuddyCase agent|quorvane}
 */
public final class ByteBuddyCase {
    private ByteBuddyCase() {
    }

    /** Appends to what greet() returns. */
    public static final class Exclaim {
        private Exclaim() {
        }

        @Advice.OnMethodExit
        static void exit(@Advice.Return(readOnly = false) String greeting) {
            greeting = greeting + ", advised";
        }
    }

    public static void main(String[] args) throws Exception {
        boolean quorvane = Agents.quorvane(args[0]);
        if (quorvane) {
            // What a -javaagent would do, with Quorvane's Instrumentation.
            Installer.premain(null, Agents.quorvaneInstrumentation());
        }
        Instrumentation inst = ByteBuddyAgent.install();
        Agents.check(!quorvane || inst == Agents.quorvaneInstrumentation(),
                "ByteBuddyAgent.install() did not return Quorvane's Instrumentation: " + inst);

        Agents.check(Greeter.greet().equals("hello"), "Greeter before any agent");
        ResettableClassFileTransformer onLoad = new AgentBuilder.Default()
                .type(named("qvagents.fix.LaterGreeter"))
                .transform((builder, type, loader, module, domain) -> builder.visit(Advice.to(Exclaim.class)
                        .on(named("greet"))))
                .installOn(inst);
        String later = Agents.greetLater("qvagents.fix.LaterGreeter");
        Agents.check(later.equals("hello, advised"), "a class loaded later: " + later);

        ResettableClassFileTransformer retransforming = new AgentBuilder.Default()
                .disableClassFormatChanges()
                .with(AgentBuilder.RedefinitionStrategy.RETRANSFORMATION)
                .type(named("qvagents.fix.Greeter"))
                .transform((builder, type, loader, module, domain) -> builder.visit(Advice.to(Exclaim.class)
                        .on(named("greet"))))
                .installOn(inst);
        Agents.check(Greeter.greet().equals("hello, advised"), "a class loaded before: " + Greeter.greet());

        Agents.check(retransforming.reset(inst, AgentBuilder.RedefinitionStrategy.RETRANSFORMATION),
                "reset() found no transformer to remove");
        Agents.check(Greeter.greet().equals("hello"), "after reset(): " + Greeter.greet());
        Agents.check(onLoad.reset(inst, AgentBuilder.RedefinitionStrategy.DISABLED), "reset() of the first builder");
        Agents.check(!inst.removeTransformer(onLoad), "the reset transformer was still registered");
        System.out.println("byte buddy on " + args[0] + "'s Instrumentation: advised on load and by retransformation, "
                + "reset");
    }
}
